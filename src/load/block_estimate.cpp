#include "load/block_estimate.h"

#include "common/error.h"
#include "common/error_report.h"
#include "common/text.h"
#include "tiles/tile_list.h"

#include <algorithm>
#include <limits>
#include <system_error>

namespace tessaro::load {

namespace {

// Multiplies two signed range sizes as 32-bit integers; false when the product does not fit.
bool Product32(std::int64_t a, std::int64_t b, std::int64_t &product) {
    constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    if (a < lo || a > hi || b < lo || b > hi) {
        return false;
    }
    product = a * b; // both fit 32 bits, so the 64-bit product is exact
    return product >= lo && product <= hi;
}

// Counts with the very ranges the tile list uses, so that estimate and list always agree.
std::int64_t CountTiles(std::string_view procedure, UiPort &ui, const tiles::TileRequest &request) {
    try {
        const tiles::TileRange r = tiles::RangeOf(request);
        std::int64_t count = 0;
        if (!Product32(r.Columns(), r.Rows(), count)) {
            ui.ShowMessage(kOverflowMessage, Icon::Critical);
            return 0;
        }
        return count;
    } catch (const OverflowError &) {
        ui.ShowMessage(kOverflowMessage, Icon::Critical);
        return 0;
    } catch (const std::exception &e) {
        ReportException(ui, ProcedureText(procedure, {}, 0), e, kMessageMode);
        return 0;
    }
}

} // namespace

bool CountFits(const tiles::TileRequest &request) {
    try {
        const tiles::TileRange r = tiles::RangeOf(request);
        std::int64_t count = 0;
        return Product32(r.Columns(), r.Rows(), count);
    } catch (const OverflowError &) {
        return false;
    }
}

std::int64_t SizeCount(double lon1, double lon2, double lat1, double lat2, int level, int offset,
                       UiPort &ui) {
    const auto type = offset == 0 ? tiles::TilesType::GoogleSat : tiles::TilesType::Shade;
    return CountTiles("SizeCount ", ui, {type, level, lat1, lat2, lon1, lon2});
}

std::int64_t ScanSizeCount(double lon1, double lon2, double lat1, double lat2, int level,
                           UiPort &ui) {
    return CountTiles("ScanSizeCount ", ui,
                      {tiles::TilesType::ScanSat, level, lat1, lat2, lon1, lon2});
}

double SizeEstimate(std::int64_t count, tiles::Kind kind) noexcept {
    return static_cast<double>(count) * (kind == tiles::Kind::Sat ? 26.0 : 11.5);
}

BlockEstimate ShowBlocksParam(tiles::Source source, tiles::Kind kind, double lat1, double lat2,
                              double lon1, double lon2, int level, UiPort &ui,
                              char decimalSeparator) {
    BlockEstimate estimate;
    switch (source) {
    case tiles::Source::Goo:
        estimate.count = SizeCount(lon1, lon2, lat1, lat2, level, 0, ui);
        break;
    case tiles::Source::Shade:
        estimate.count = SizeCount(lon1, lon2, lat1, lat2, level, 1, ui);
        break;
    case tiles::Source::Scan:
    case tiles::Source::Yand:
        estimate.count = ScanSizeCount(lon1, lon2, lat1, lat2, level, ui);
        break;
    case tiles::Source::None:
        break;
    }
    AppendInt(estimate.countText, estimate.count);
    estimate.sizeText = FormatDouble(SizeEstimate(estimate.count, kind));
    std::replace(estimate.sizeText.begin(), estimate.sizeText.end(), '.', decimalSeparator);
    return estimate;
}

BlockEstimate TemplateEstimate(const tiles::TileRequest &request, UiPort &ui) {
    BlockEstimate estimate;
    estimate.count = CountTiles("SizeCount ", ui, request);
    AppendInt(estimate.countText, estimate.count);
    estimate.sizeText = FormatDouble(SizeEstimate(estimate.count, tiles::Kind::Sat));
    return estimate;
}

std::string GroupedThousands(std::uint64_t value, char groupSeparator) {
    if (value == 0) {
        return {};
    }
    const std::string digits = std::to_string(value);
    std::string grouped;
    grouped.reserve(digits.size() + digits.size() / 3);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped += groupSeparator;
        }
        grouped += digits[i];
    }
    return grouped;
}

std::string FreeSpaceText(const std::filesystem::path &path, char groupSeparator) {
    std::error_code ec;
    const auto info = std::filesystem::space(path, ec);
    std::uint64_t freeBytes = 0;
    if (!ec && info.free != static_cast<std::uintmax_t>(-1)) {
        freeBytes = info.free;
    }
    return GroupedThousands(freeBytes / 1024, groupSeparator) + " Kb";
}

} // namespace tessaro::load
