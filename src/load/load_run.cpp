#include "load/load_run.h"

#include "common/error.h"
#include "common/error_report.h"
#include "common/files.h"
#include "common/text.h"
#include "download/download_loop.h"
#include "download/list_file.h"
#include "download/load_log.h"
#include "load/block_estimate.h"
#include "tiles/tile_files.h"

#include <algorithm>
#include <unordered_set>

namespace tessaro::load {

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

std::string SummaryText(const LoadRunResult &result, bool onlyCalculate) {
    if (result.txtLog.empty()) {
        return {};
    }
    std::string text = "Tiles wanted: " + std::to_string(result.wanted);
    if (onlyCalculate) {
        return text + ", on disk: " + std::to_string(result.wanted - result.wasNew) +
               ", to download: " + std::to_string(result.wasNew) + ".";
    }
    text += ", on disk: " + std::to_string(result.wasLoaded) +
            ", failed: " + std::to_string(result.wasErrors);
    // The causes most tiles failed of, in that order; the rest together.
    std::vector<std::pair<std::string, std::int64_t>> causes(result.causes.begin(),
                                                             result.causes.end());
    std::ranges::stable_sort(causes, std::greater{}, &std::pair<std::string, std::int64_t>::second);
    constexpr std::size_t kShown = 3;
    std::int64_t rest = result.wasErrors;
    std::string named;
    for (std::size_t i = 0; i < causes.size() && i < kShown; ++i) {
        named += (i == 0 ? "" : ", ") + causes[i].first + ": " + std::to_string(causes[i].second);
        rest -= causes[i].second;
    }
    if (rest > 0 && !named.empty()) {
        named += ", other: " + std::to_string(rest);
    }
    if (!named.empty()) {
        text += " (" + named + ")";
    }
    const std::int64_t unreached = result.wanted - result.wasLoaded - result.wasErrors;
    if (unreached > 0) {
        text += ", not reached: " + std::to_string(unreached);
    }
    return text + ".";
}

namespace {

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

// The values a run works with once its request is checked.
struct RunPlan {
    TilesType type = TilesType::Invalid;
    tiles::TileRequest tiles;
    std::string rootFolder;  // the source's folder, with its separator; the log lies here
    std::string levelFolder; // rootFolder + level + separator; the tiles lie here
    std::string sourceText;  // the source's name for the selection filter and the block index
};

RunPlan PlanOf(const LoadRequest &request) {
    RunPlan plan;
    plan.type =
        request.urlTemplate ? TilesType::Xyz : tiles::TilesTypeOf(request.source, request.kind);
    plan.tiles = {plan.type,    request.level, request.lat1,      request.lat2,
                  request.lon1, request.lon2,  request.partIndex, request.partCount};
    tiles::ValidateRequest(plan.tiles);
    plan.rootFolder = WithTrailingSeparator(request.directory.string());
    plan.levelFolder = plan.rootFolder + std::to_string(request.level) + "/";
    plan.sourceText = request.urlTemplate ? std::string_view(request.urlTemplate->name)
                                          : tiles::SourceText(request.source);
    if (request.urlTemplate) {
        download::ValidateUrlTemplate(*request.urlTemplate);
    }
    return plan;
}

// Creates the level folder. A failed creation is only reported; a folder that is missing
// afterwards stops the run.
bool MakeLevelFolder(const std::string &levelFolder, UiPort &ui) {
    if (!MakeDir(levelFolder)) {
        ui.ShowMessage(FolderMessage(levelFolder, true), Icon::Exclamation);
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(levelFolder, ec)) {
        ui.ShowMessage(FolderMessage(levelFolder, false), Icon::Exclamation);
        return false;
    }
    return true;
}

// Creates the folders below the level folder: the row folders of a relief list, the column
// folders of a template source's list, each once. Returns the folder that failed, or empty.
std::string MakeTileFolders(const std::string &levelFolder, TilesType type,
                            const tiles::TileList &list) {
    std::unordered_set<std::int32_t> made;
    auto cursor = list.Begin();
    tiles::TileRecord record;
    while (cursor.Next(record)) {
        if (!made.insert(type == TilesType::Shade ? record.row : record.col).second) {
            continue;
        }
        const std::string folder =
            WithTrailingSeparator(tiles::TileFolder(levelFolder, type, record).string());
        if (!MakeDir(folder)) {
            return folder;
        }
    }
    return {};
}

// Keeps the tiles that meet the map's selected features. False when the run stops here.
bool KeepSelectedTiles(const RunPlan &plan, LoadRunContext &ctx, tiles::TileList &list) {
    if (ctx.host == nullptr || ctx.host->SelectionCount() == 0) {
        ctx.ui.ShowMessage(kNoSelectionMessage);
        return false;
    }
    std::vector<tiles::TileRecord> kept;
    if (ctx.host->FilterBySelection(list, plan.type, plan.tiles.level, plan.sourceText, kept) < 0) {
        if (!ctx.ui.StopRequested()) {
            ctx.ui.ShowMessage(kNoIntersectionMessage);
        }
        return false;
    }
    list = tiles::TileList(plan.tiles, std::move(kept));
    return true;
}

bool RecordBlocks(const LoadRequest &request, const RunPlan &plan, LoadRunContext &ctx,
                  const tiles::TileList &list) {
    if (ctx.host == nullptr || !request.createPolygon || !ctx.host->HasPolygonIndex() ||
        ctx.ui.StopRequested()) {
        return true;
    }
    return ctx.host->AddPolygonFC(plan.levelFolder, list, plan.type, plan.tiles.level,
                                  plan.sourceText);
}

// What a calculate-only run and a download run share: the folder, the tiles, the log, the clock.
void FillListRun(download::ListFileRun &run, const LoadRequest &request, const RunPlan &plan,
                 const LoadRunContext &ctx, download::LoadLog *log) {
    run.levelFolder = plan.levelFolder;
    run.type = plan.type;
    run.level = plan.tiles.level;
    run.makeIon = request.makeIon;
    run.skipLog = log == nullptr;
    run.log = log;
    run.now = ctx.now;
    run.urlTemplate = request.urlTemplate ? &*request.urlTemplate : nullptr;
    run.partSuffix = tiles::PartSuffix(plan.tiles);
}

// Writes the log lines and the .ion list of the tiles without downloading them.
void CalculateOnly(const LoadRequest &request, const RunPlan &plan, LoadRunContext &ctx,
                   const tiles::TileList &list, download::LoadLog *log, LoadRunResult &result) {
    download::ListFileRun run;
    FillListRun(run, request, plan, ctx, log);
    run.abort = ctx.abort;
    bool succeeded = download::CreateListFile(run, list, ctx.settings, result.wasNew, ctx.ui);
    result.txtLog = CounterText(result.wasLoaded, result.wasNew, result.wasErrors);
    if (ctx.abort != nullptr && ctx.abort->IsSet()) {
        result.outcome = RunOutcome::Aborted; // stopped: the list so far, no block index
        return;
    }
    succeeded = RecordBlocks(request, plan, ctx, list) && succeeded;
    result.outcome = succeeded ? RunOutcome::Completed : RunOutcome::Failed;
}

download::DownloadEnd Download(const LoadRequest &request, const RunPlan &plan, LoadRunContext &ctx,
                               const tiles::TileList &list, download::LoadLog *log,
                               LoadRunResult &result) {
    AbortFlag ownAbort;
    AbortFlag &abort = ctx.abort != nullptr ? *ctx.abort : ownAbort;
    abort.Clear();
    download::DownloadRun run;
    FillListRun(run, request, plan, ctx, log);
    run.timeOutSeconds = request.pauses.timeOutSeconds;
    run.tilesAtOnce = request.pauses.tilesAtOnce;
    run.offline = request.offline;
    run.connections = request.connections;
    run.limits = ctx.limits;
    download::DownloadCounters counters;
    const auto end = download::GoogleLoadKachalka(run, list, ctx.settings, counters, ctx.ui, abort);
    result.wasLoaded = counters.loaded;
    result.wasNew = counters.added;
    result.wasErrors = counters.errors;
    result.bytes = counters.bytes;
    result.sideFiles = counters.sideFiles;
    result.causes = std::move(counters.causes);
    result.txtLog = CounterText(result.wasLoaded, result.wasNew, result.wasErrors);
    return end;
}

// Hands the downloaded tiles to the map: coordinate system, layers, mosaic, block index. A
// problem one step reports makes the run a failed one, but the later steps still run on the
// tiles that are on disk. A stop the user asked for ends the step in hand, and no later step
// starts. Returns false when a step reported a problem.
bool MapSteps(const LoadRequest &request, const RunPlan &plan, LoadRunContext &ctx,
              const tiles::TileList &list, LoadRunResult &result) {
    const int level = plan.tiles.level;
    const bool withHost = ctx.host != nullptr;
    const auto goOn = [&ctx] { return !ctx.ui.StopRequested(); };
    bool succeeded = true;
    // Tiles fetched now came with their side files; a pass over the list is needed only
    // for tiles that were on disk or failed.
    if (withHost && goOn() && result.sideFiles < list.Size()) {
        succeeded = ctx.host->SetRasterSpatRef(plan.levelFolder, list, plan.type, level);
    }
    result.txtLog += kCrLf;
    result.txtLog += "Added: ";
    if (!request.skipAddToMap && withHost && goOn()) {
        const std::int64_t added =
            ctx.host->AddGoogleRasters(plan.levelFolder, list, level, plan.type);
        result.wasAdded = std::max<std::int64_t>(added, 0);
        succeeded = added >= 0 && succeeded;
        AppendInt(result.txtLog, result.wasAdded);
    } else {
        result.txtLog += "0 (skipped)";
    }
    if (request.mosaic && withHost && goOn()) {
        succeeded = ctx.host->ShowMosaic(plan.levelFolder, list, plan.type, level) && succeeded;
    }
    return RecordBlocks(request, plan, ctx, list) && succeeded;
}

RunOutcome OutcomeOf(download::DownloadEnd end, bool mapStepsSucceeded) {
    switch (end) {
    case download::DownloadEnd::Aborted:
        return RunOutcome::Aborted;
    case download::DownloadEnd::Completed:
        return mapStepsSucceeded ? RunOutcome::Completed : RunOutcome::Failed;
    case download::DownloadEnd::Failed:
        break;
    }
    return RunOutcome::Failed;
}

LoadRunResult Run(const LoadRequest &request, LoadRunContext &ctx) {
    LoadRunResult result;
    const RunPlan plan = PlanOf(request);
    // What the estimate cannot count is refused before anything is written.
    if (!CountFits(plan.tiles)) {
        ctx.ui.ShowMessage(kOverflowMessage, Icon::Critical);
        return result;
    }
    if (!MakeLevelFolder(plan.levelFolder, ctx.ui)) {
        return result;
    }
    // Google downloads pause after every n-th tile: a batch size of 0 cannot work, and is
    // refused before anything is written.
    if (!request.onlyCalculate && tiles::IsGoogle(plan.type) && request.pauses.tilesAtOnce == 0) {
        ctx.ui.ShowMessage(kZeroBatchMessage, Icon::Exclamation);
        return result;
    }

    // The log opens before the list is made: one log per source and kind, in the source's
    // folder. A log that cannot be opened only switches logging off.
    std::unique_ptr<download::LoadLog> log;
    if (!request.skipLog) {
        auto path = download::LogFilePath(plan.rootFolder, request.source, plan.type);
        path.replace_filename(path.stem().string() + tiles::PartSuffix(plan.tiles) + ".log");
        log = download::GetLogFile(path, download::kLogHeader, ctx.ui);
    }

    // Relief rows are made for the whole list, template columns only for the tiles kept.
    tiles::TileList list(plan.tiles);
    const auto makeTileFolders = [&](TilesType type) {
        if (plan.type != type) {
            return true;
        }
        const std::string failed = MakeTileFolders(plan.levelFolder, plan.type, list);
        if (!failed.empty()) {
            ctx.ui.ShowMessage(FolderMessage(failed, true), Icon::Exclamation);
        }
        return failed.empty();
    };
    if (!makeTileFolders(TilesType::Shade)) {
        return result;
    }
    if (request.useSelection && !KeepSelectedTiles(plan, ctx, list)) {
        return result;
    }
    if (!makeTileFolders(TilesType::Xyz)) {
        return result;
    }

    result.wanted = list.Size();
    if (ctx.ui.StopRequested()) {
        return result;
    }
    if (request.onlyCalculate) {
        CalculateOnly(request, plan, ctx, list, log.get(), result);
        return result;
    }
    const auto end = Download(request, plan, ctx, list, log.get(), result);
    const bool mapStepsSucceeded = MapSteps(request, plan, ctx, list, result);
    result.outcome = OutcomeOf(end, mapStepsSucceeded);
    return result;
}

} // namespace

LoadRunResult RunLoad(const LoadRequest &request, LoadRunContext &context) {
    auto result = RunTrapped(context.ui, "CmdLoad_Click ", [&] { return Run(request, context); });
    if (!result) {
        result.emplace().outcome = RunOutcome::Failed;
    }
    // Whatever step the user stopped, the run is an aborted one.
    if (context.ui.StopRequested()) {
        result->outcome = RunOutcome::Aborted;
    }
    return *result;
}

} // namespace tessaro::load
