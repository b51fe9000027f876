#pragma once

#include "common/abort_flag.h"
#include "common/ui_port.h"
#include "download/kachalka.h"
#include "load/load_request.h"
#include "load/map_host.h"
#include "settings/settings.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace tessaro::load {

// The messages of a load run's checks.
inline constexpr std::string_view kCannotCreateFolder = "Не удалось создать папку ";
inline constexpr std::string_view kCheckPermissions =
    "проверьте разрешения на создание директории/файлов";
inline constexpr std::string_view kNoSelectionMessage = "На карте нет выбранных объектов";
inline constexpr std::string_view kNoIntersectionMessage =
    "Указанный регион не имеет пересечений с выделенными элементами";
inline constexpr std::string_view kZeroBatchMessage =
    "The batch size (Tiles at once) must not be 0: downloads pause after every n-th tile.";

/// How a run ended.
enum class RunOutcome {
    Completed, ///< every step ran
    Aborted,   ///< the user stopped the downloads; the steps after them ran
    Stopped,   ///< a check stopped it with its message
    Failed,    ///< an error was reported, or a step failed
};

/// Everything a run reads and talks to besides its request.
struct LoadRunContext {
    LoadRunContext(settings::Settings &s, UiPort &port) : settings(s), ui(port) {}

    /// The settings: server addresses, versions and layer names for the run; the dialog's
    /// boxes for CmdLoad_Click, which may lower the level in them.
    settings::Settings &settings;
    UiPort &ui;
    MapHost *host = nullptr; ///< the map; none means no selection, no index
    std::function<std::chrono::system_clock::time_point()> now = std::chrono::system_clock::now;
    AbortFlag *abort = nullptr;      ///< the Stop button; none means no stopping
    download::DownloadLimits limits; ///< time-outs and size limit of the downloads
};

/// What a run leaves behind.
struct LoadRunResult {
    RunOutcome outcome = RunOutcome::Stopped;
    std::string txtLog; ///< the run-log box: the counter text, and "Added: " after downloads
    std::int64_t wasLoaded = 0;
    std::int64_t wasNew = 0;
    std::int64_t wasErrors = 0;
    std::int64_t wasAdded = 0;
    std::int64_t wanted = 0;    ///< tiles of the run's list
    std::int64_t bytes = 0;     ///< bytes of the tiles fetched
    std::int64_t sideFiles = 0; ///< side files written with the tiles fetched
    /// How many tiles failed of each cause, for the summary.
    std::map<std::string, std::int64_t> causes;
};

/// Returns "Loaded:" n CR LF "New:   " n CR LF "Errors:   " n.
[[nodiscard]] std::string CounterText(std::int64_t loaded, std::int64_t added, std::int64_t errors);

/// One plain line that sums a run up after its counters: tiles wanted, on disk and failed with
/// the main causes (after a download), or on disk and to download (after a calculation).
/// Empty when the run ended before its list.
[[nodiscard]] std::string SummaryText(const LoadRunResult &result, bool onlyCalculate);

/// Runs a load: creates the level folder, opens the load log, builds the tile list,
/// optionally keeps only tiles meeting the selection, then either writes the list without
/// downloading (calculate only) or downloads and hands the tiles to the map host (coordinate
/// system, layers, mosaic, block index). Messages, questions and progress go through the
/// user-interface port only; an error is reported under "CmdLoad_Click " and ends the run as
/// Failed.
LoadRunResult RunLoad(const LoadRequest &request, LoadRunContext &context);

} // namespace tessaro::load
