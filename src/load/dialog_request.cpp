#include "load/dialog_request.h"

#include "common/error.h"
#include "common/error_report.h"
#include "common/files.h"
#include "common/text.h"

#include <algorithm>
#include <cmath>

namespace tessaro::load {

using settings::Key;
using tiles::Source;

namespace {

[[noreturn]] void ThrowNotANumber(std::string_view box, const std::string &text) {
    throw Error("Type mismatch: " + std::string(box) + " holds '" + text +
                    "', which is not a number.",
                ErrorNumber::TypeMismatch);
}

// A coordinate box, written with the dialog's decimal separator.
double ReadCoordinateBox(const std::string &text, char decimalSeparator, std::string_view box) {
    std::string normal = text;
    if (decimalSeparator != '.') {
        std::replace(normal.begin(), normal.end(), decimalSeparator, '.');
    }
    double value = 0;
    if (!ParseDouble(normal, value)) {
        ThrowNotANumber(box, text);
    }
    return value;
}

// A box read as a 32-bit whole number: the nearest one, ties to even.
std::int32_t ReadWholeNumberBox(const std::string &text, std::string_view box) {
    double value = 0;
    if (!ParseDouble(text, value)) {
        ThrowNotANumber(box, text);
    }
    const double nearest = std::nearbyint(value);
    if (nearest < -2147483648.0 || nearest > 2147483647.0) {
        throw OverflowError("Overflow: " + std::string(box) + " holds " + text +
                            ", which does not fit a 32-bit number.");
    }
    return static_cast<std::int32_t>(nearest);
}

// The folder box of the request's tile type. Empty when the run stops (message shown): an
// empty box would name the root folder.
std::string ReadDirectoryBox(const settings::Settings &dialog, UiPort &ui) {
    const std::string box =
        TrimBlanks(dialog.Text(*settings::Settings::DirectoryKey(dialog.source, dialog.kind)));
    if (box.empty()) {
        ui.ShowMessage(kNoDirectoryMessage, Icon::Exclamation);
        return {};
    }
    std::string directory = WithTrailingSeparator(box);
    std::error_code ec;
    if (!std::filesystem::is_directory(directory, ec)) {
        ui.ShowMessage("Директории " + directory + " не существует!", Icon::Exclamation);
        return {};
    }
    return directory;
}

// Lowers the level to the source's highest one, in the dialog too, with a message.
int CorrectLevel(settings::Settings &dialog, UiPort &ui) {
    const auto lower = [&](int limit, std::string_view message) {
        ui.ShowMessage(message);
        dialog.upDownLevel = limit;
        dialog.Text(Key::Level) = std::to_string(limit);
    };
    const Source source = dialog.source;
    if ((source == Source::Scan || source == Source::Yand) && dialog.upDownLevel > 17) {
        lower(17, kMaxLevel17Message);
    } else if (source == Source::Shade && dialog.upDownLevel > 9) {
        lower(9, kMaxLevel9Message);
    }
    return dialog.upDownLevel;
}

} // namespace

std::array<double, 4> ReadExtentBoxes(const settings::Settings &dialog) {
    const char separator = dialog.decimalSeparator;
    return {ReadCoordinateBox(dialog.lat1, separator, "TxtLat1"),
            ReadCoordinateBox(dialog.lat2, separator, "TxtLat2"),
            ReadCoordinateBox(dialog.lon1, separator, "TxtLon1"),
            ReadCoordinateBox(dialog.lon2, separator, "TxtLon2")};
}

int ReadLevelBox(const std::string &text) {
    const std::int32_t level = ReadWholeNumberBox(TrimBlanks(text), "txtLevel");
    if (level < -32768 || level > 32767) {
        throw OverflowError("Overflow: txtLevel holds " + text +
                            ", which does not fit a 16-bit number.");
    }
    return level;
}

std::optional<LoadRequest> ReadLoadRequest(settings::Settings &dialog, UiPort &ui,
                                           const KnownValues &known) {
    if (tiles::TilesTypeOf(dialog.source, dialog.kind) == tiles::TilesType::Invalid) {
        ui.ShowMessage(kUnsupportedTypeMessage);
        return std::nullopt;
    }
    LoadRequest request;
    request.source = dialog.source;
    request.kind = dialog.kind;
    request.directory = ReadDirectoryBox(dialog, ui);
    if (request.directory.empty()) {
        return std::nullopt;
    }
    request.level = CorrectLevel(dialog, ui);

    const auto extent = known.extent ? *known.extent : ReadExtentBoxes(dialog);
    request.lat1 = extent[0];
    request.lat2 = extent[1];
    request.lon1 = extent[2];
    request.lon2 = extent[3];
    if (!(request.lon1 < request.lon2 && request.lat1 < request.lat2)) {
        ui.ShowMessage(kBadCoordinatesMessage, Icon::Exclamation);
        return std::nullopt;
    }

    request.onlyCalculate = dialog.onlyCalculate;
    request.skipLog = dialog.skipLog;
    request.makeIon = dialog.makeIon;
    request.useSelection = dialog.useSelection;
    request.offline = dialog.offline;
    request.skipAddToMap = dialog.skipAddToMap;
    request.mosaic = dialog.mosaic;
    request.createPolygon = dialog.createPolygon;
    request.connections = dialog.connections;
    request.urlTemplate = known.urlTemplate;
    request.partIndex = known.partIndex;
    request.partCount = known.partCount;
    if (!request.onlyCalculate) {
        request.pauses.timeOutSeconds =
            known.timeOutSeconds ? *known.timeOutSeconds
                                 : ReadWholeNumberBox(dialog.Text(Key::TimeOut), "txtTimeOut");
        request.pauses.tilesAtOnce =
            known.tilesAtOnce ? *known.tilesAtOnce
                              : ReadWholeNumberBox(dialog.Text(Key::TilesAtOnce), "txtTilesAtOnce");
    }
    return request;
}

LoadRunResult CmdLoad_Click(LoadRunContext &context, const KnownValues &known) {
    const auto request = RunTrapped(context.ui, "CmdLoad_Click ", [&] {
        return ReadLoadRequest(context.settings, context.ui, known);
    });
    LoadRunResult result;
    if (!request) {
        result.outcome = RunOutcome::Failed;
        return result;
    }
    if (!*request) {
        return result;
    }
    return RunLoad(**request, context);
}

} // namespace tessaro::load
