#include "load/load_run.h"

#include "common/error.h"
#include "common/error_report.h"
#include "common/files.h"
#include "common/text.h"
#include "download/download_loop.h"
#include "download/list_file.h"
#include "download/load_log.h"
#include "tiles/tile_files.h"

#include <algorithm>
#include <cmath>

namespace tessaro::load {

using settings::Key;
using tiles::Source;
using tiles::TilesType;

std::string CounterText(std::int64_t loaded, std::int64_t added, std::int64_t errors) {
    std::string text = "Loaded:";
    AppendInt(text, loaded);
    text += kCrLf;
    text += "New:   ";
    AppendInt(text, added);
    text += kCrLf;
    text += "Errors:   ";
    AppendInt(text, errors);
    return text;
}

namespace {

double ParseBox(const std::string &text, char decimalSeparator, const char *box) {
    std::string normal = text;
    if (decimalSeparator != '.') {
        std::replace(normal.begin(), normal.end(), decimalSeparator, '.');
    }
    double value = 0;
    if (!ParseDouble(normal, value)) {
        throw Error(std::string("Type mismatch: ") + box + " holds '" + text +
                        "', which is not a number.",
                    ErrorNumber::TypeMismatch);
    }
    return value;
}

// A box read as a 32-bit whole number: the nearest one, ties to even.
std::int32_t ParseLong(const std::string &text, const char *box) {
    double value = 0;
    if (!ParseDouble(text, value)) {
        throw Error(std::string("Type mismatch: ") + box + " holds '" + text +
                        "', which is not a number.",
                    ErrorNumber::TypeMismatch);
    }
    const double nearest = std::nearbyint(value);
    if (nearest < -2147483648.0 || nearest > 2147483647.0) {
        throw OverflowError(std::string("Overflow: ") + box + " holds " + text +
                            ", which does not fit a 32-bit number.");
    }
    return static_cast<std::int32_t>(nearest);
}

std::string FolderMessage(const std::string &folder, bool withAdvice) {
    std::string text(kCannotCreateFolder);
    text += kCrLf;
    text += folder;
    if (withAdvice) {
        text += kCrLf;
        text += kCheckPermissions;
    }
    return text;
}

// Creates the row folders of a relief list. Rows come in runs (the list is row by row), so a
// folder is made once per run of equal rows. Returns the folder that failed, or empty.
std::string MakeRowFolders(const std::string &levelFolder, const tiles::TileList &list) {
    std::int64_t lastRow = -1;
    bool first = true;
    auto cursor = list.Begin();
    tiles::TileRecord record;
    while (cursor.Next(record)) {
        if (!first && record.row == lastRow) {
            continue;
        }
        first = false;
        lastRow = record.row;
        const std::string folder = WithTrailingSeparator(
            tiles::TileFolder(levelFolder, TilesType::Shade, record).string());
        if (!MakeDir(folder)) {
            return folder;
        }
    }
    return {};
}

LoadRunResult Run(LoadRunContext &ctx) {
    auto &s = ctx.settings;
    auto &ui = ctx.ui;
    LoadRunResult result;

    // 1-2: source, kind, type and the directory box that goes with them.
    const Source source = s.source;
    const TilesType type = tiles::TilesTypeOf(source, s.kind);
    if (type == TilesType::Invalid) {
        ui.ShowMessage(kUnsupportedTypeMessage);
        return result;
    }
    const std::string sourceText(tiles::SourceText(source));

    // 3: the directory must exist. An empty box would name the root folder: refused.
    const std::string box = TrimBlanks(s.Text(*settings::Settings::DirectoryKey(source, s.kind)));
    if (box.empty()) {
        ui.ShowMessage(kNoDirectoryMessage, Icon::Exclamation);
        return result;
    }
    const std::string directory = WithTrailingSeparator(box);
    std::error_code ec;
    if (!std::filesystem::is_directory(directory, ec)) {
        ui.ShowMessage("Директории " + directory + " не существует!", Icon::Exclamation);
        return result;
    }

    // 4-5: the level and its limits per source.
    const std::string rootFolder = directory;
    int level = s.upDownLevel;
    auto lowerLevel = [&](int limit, std::string_view message) {
        ui.ShowMessage(message);
        s.upDownLevel = limit;
        s.Text(Key::Level) = std::to_string(limit);
        level = limit;
    };
    if ((source == Source::Scan || source == Source::Yand) && level > 17) {
        lowerLevel(17, kMaxLevel17Message);
    } else if (source == Source::Shade && level > 9) {
        lowerLevel(9, kMaxLevel9Message);
    }

    // 6: the extent, strictly ordered.
    tiles::TileRequest request;
    request.type = type;
    request.level = level;
    request.lat1 = ParseBox(s.lat1, s.decimalSeparator, "TxtLat1");
    request.lat2 = ParseBox(s.lat2, s.decimalSeparator, "TxtLat2");
    request.lon1 = ParseBox(s.lon1, s.decimalSeparator, "TxtLon1");
    request.lon2 = ParseBox(s.lon2, s.decimalSeparator, "TxtLon2");
    if (!(request.lon1 < request.lon2 && request.lat1 < request.lat2)) {
        ui.ShowMessage(kBadCoordinatesMessage, Icon::Exclamation);
        return result;
    }
    tiles::ValidateLevelAndExtent(request); // the world's limits; reported as an error

    // 7: the level folder.
    const std::string levelFolder = directory + std::to_string(level) + "/";
    if (!MakeDir(levelFolder)) {
        ui.ShowMessage(FolderMessage(levelFolder, true), Icon::Exclamation);
    }
    if (!std::filesystem::is_directory(levelFolder, ec)) {
        ui.ShowMessage(FolderMessage(levelFolder, false), Icon::Exclamation);
        return result;
    }

    // Google downloads pause after every n-th tile: a batch size of 0 cannot work, and is
    // refused before anything is written. (A box that holds no number is reported where the
    // download reads it.)
    double batch = 1;
    if (!s.onlyCalculate && tiles::IsGoogle(type) && ParseDouble(s.Text(Key::TilesAtOnce), batch) &&
        std::nearbyint(batch) == 0) {
        ui.ShowMessage(kZeroBatchMessage, Icon::Exclamation);
        return result;
    }

    // 8-9: the load log in the source's root folder.
    bool skipLog = s.skipLog;
    std::unique_ptr<download::LoadLog> log;
    if (!skipLog) {
        log = download::GetLogFile(download::LogFilePath(rootFolder, source, type),
                                   download::kLogHeader, ui);
        skipLog = log == nullptr;
    }

    // 10: the tile list; relief tiles get their row folders.
    tiles::TileList list(request);
    if (type == TilesType::Shade) {
        const std::string failed = MakeRowFolders(levelFolder, list);
        if (!failed.empty()) {
            ui.ShowMessage(FolderMessage(failed, true), Icon::Exclamation);
            return result;
        }
    }

    // 11-12: options and the selection filter.
    const bool makeIon = s.makeIon;
    const bool createPolygon = s.createPolygon;
    if (s.useSelection) {
        if (ctx.host == nullptr || ctx.host->SelectionCount() == 0) {
            ui.ShowMessage(kNoSelectionMessage);
            return result;
        }
        std::vector<tiles::TileRecord> kept;
        if (ctx.host->FilterBySelection(list, type, level, sourceText, kept) < 0) {
            ui.ShowMessage(kNoIntersectionMessage);
            return result;
        }
        list = tiles::TileList(request, std::move(kept));
    }

    // 13: calculate only.
    if (s.onlyCalculate) {
        download::ListFileRun run;
        run.levelFolder = levelFolder;
        run.type = type;
        run.level = level;
        run.makeIon = makeIon;
        run.skipLog = skipLog;
        run.log = log.get();
        run.now = ctx.now;
        bool succeeded = download::CreateListFile(run, list, s, result.wasNew, ui);
        result.txtLog = CounterText(result.wasLoaded, result.wasNew, result.wasErrors);
        if (ctx.host != nullptr && createPolygon && ctx.host->HasPolygonIndex()) {
            succeeded =
                ctx.host->AddPolygonFC(levelFolder, list, type, level, sourceText) && succeeded;
        }
        result.outcome = succeeded ? RunOutcome::Completed : RunOutcome::Failed;
        return result;
    }

    // 14: downloads.
    AbortFlag ownAbort;
    AbortFlag &abort = ctx.abort != nullptr ? *ctx.abort : ownAbort;
    abort.Clear();
    download::DownloadRun run;
    run.levelFolder = levelFolder;
    run.type = type;
    run.level = level;
    run.makeIon = makeIon;
    run.skipLog = skipLog;
    run.log = log.get();
    run.timeOutSeconds = ParseLong(s.Text(Key::TimeOut), "txtTimeOut");
    run.tilesAtOnce = ParseLong(s.Text(Key::TilesAtOnce), "txtTilesAtOnce");
    run.offline = s.offline;
    run.connections = s.connections;
    run.limits = ctx.limits;
    run.now = ctx.now;
    download::DownloadCounters counters;
    auto end = download::GoogleLoadKachalka(run, list, s, counters, ui, abort);
    result.wasLoaded = counters.loaded;
    result.wasNew = counters.added;
    result.wasErrors = counters.errors;
    result.txtLog = CounterText(result.wasLoaded, result.wasNew, result.wasErrors);

    // The map steps; a problem one of them reports makes the run a failed one, but the later
    // steps still run on the tiles that are on disk.
    bool mapStepsSucceeded = true;
    if (ctx.host != nullptr) {
        mapStepsSucceeded = ctx.host->SetRasterSpatRef(levelFolder, list, type, level);
    }
    result.txtLog += kCrLf;
    result.txtLog += "Added: ";
    if (!s.skipAddToMap && ctx.host != nullptr) {
        const std::int64_t added = ctx.host->AddGoogleRasters(levelFolder, list, level, type);
        result.wasAdded = std::max<std::int64_t>(added, 0);
        mapStepsSucceeded = added >= 0 && mapStepsSucceeded;
        AppendInt(result.txtLog, result.wasAdded);
    } else {
        result.txtLog += "0 (skipped)";
    }
    if (s.mosaic && ctx.host != nullptr) {
        mapStepsSucceeded =
            ctx.host->ShowMosaic(levelFolder, list, type, level) && mapStepsSucceeded;
    }
    if (ctx.host != nullptr && createPolygon && ctx.host->HasPolygonIndex()) {
        mapStepsSucceeded =
            ctx.host->AddPolygonFC(levelFolder, list, type, level, sourceText) && mapStepsSucceeded;
    }
    if (!mapStepsSucceeded && end != download::DownloadEnd::Aborted) {
        end = download::DownloadEnd::Failed;
    }
    switch (end) {
    case download::DownloadEnd::Completed:
        result.outcome = RunOutcome::Completed;
        break;
    case download::DownloadEnd::Aborted:
        result.outcome = RunOutcome::Aborted;
        break;
    case download::DownloadEnd::Failed:
        result.outcome = RunOutcome::Failed;
        break;
    }
    return result;
}

} // namespace

LoadRunResult CmdLoad_Click(LoadRunContext &context) {
    try {
        return Run(context);
    } catch (const std::exception &e) {
        ReportException(context.ui, ProcedureText("CmdLoad_Click ", "", 0), e, kMessageMode);
        LoadRunResult failed;
        failed.outcome = RunOutcome::Failed;
        return failed;
    }
}

} // namespace tessaro::load
