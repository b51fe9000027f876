#pragma once

#include "common/ui_port.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tessaro::load {

/// Message shown when a count leaves the 32-bit range.
inline constexpr std::string_view kOverflowMessage = "Переполнение! Очень много выбрано блоков";

/// Returns the number of tiles of the spherical grid covering an extent: (east column − west
/// column + 1) × (south row − north row + 1), with offset 0 for the Google grid and 1 for the
/// shaded-relief grid. The ranges are those of the tile list, so the count equals the number of
/// records the list yields; an inverted extent gives the signed product.
///
/// On a product beyond the 32-bit range shows kOverflowMessage with the critical icon and
/// returns 0. Any other error is reported under "SizeCount " (message-box mode) and gives 0.
[[nodiscard]] std::int64_t SizeCount(double lon1, double lon2, double lat1, double lat2, int level,
                                     int offset, UiPort &ui);

/// Returns the number of tiles of the ellipsoidal grid (ScanEx, Yandex) covering an extent,
/// as SizeCount does; errors are reported under "ScanSizeCount ".
[[nodiscard]] std::int64_t ScanSizeCount(double lon1, double lon2, double lat1, double lat2,
                                         int level, UiPort &ui);

/// True when the tiles of a request can be counted: the count the estimate shows fits the
/// 32-bit range. A run refuses a request beyond it, as the estimate does.
[[nodiscard]] bool CountFits(const tiles::TileRequest &request);

/// Returns the size estimate of a count: count × 26 for satellite tiles, × 11.5 otherwise.
[[nodiscard]] double SizeEstimate(std::int64_t count, tiles::Kind kind) noexcept;

/// The texts of the two estimate boxes.
struct BlockEstimate {
    std::int64_t count = 0;
    std::string countText; ///< the count in plain decimal
    std::string sizeText;  ///< the size estimate in plain decimal with the given separator
};

/// Computes the estimate the dialog shows for a source, kind, extent and level: SizeCount for
/// Google (offset 0) and shaded relief (offset 1), ScanSizeCount for ScanEx and Yandex, 0 for
/// no source. decimalSeparator is the separator the size text uses.
[[nodiscard]] BlockEstimate ShowBlocksParam(tiles::Source source, tiles::Kind kind, double lat1,
                                            double lat2, double lon1, double lon2, int level,
                                            UiPort &ui, char decimalSeparator = '.');

/// Computes the estimate of a template source's request on the web-mercator grid: its tile
/// count, and the count × 26 as its size (the satellite figure, since a template source may
/// serve imagery). A count beyond the 32-bit range shows kOverflowMessage and gives 0.
[[nodiscard]] BlockEstimate TemplateEstimate(const tiles::TileRequest &request, UiPort &ui);

/// Returns the free space of the disk holding a path in KiB, formatted with thousands grouped
/// by groupSeparator and followed by " Kb". A disk with no free space or one that cannot be
/// queried gives " Kb" alone.
[[nodiscard]] std::string FreeSpaceText(const std::filesystem::path &path,
                                        char groupSeparator = ',');

/// Returns a whole number with thousands grouped ("###,###,###,###"); 0 gives the empty text.
[[nodiscard]] std::string GroupedThousands(std::uint64_t value, char groupSeparator);

} // namespace tessaro::load
