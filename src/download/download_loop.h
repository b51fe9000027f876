#pragma once

#include "common/abort_flag.h"
#include "common/ui_port.h"
#include "download/list_file.h"
#include "download/load_log.h"
#include "download/transfer_engine.h"
#include "settings/settings.h"
#include "tiles/tile_list.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

namespace tessaro::download {

// Texts of the bad-tile questions.
inline constexpr std::string_view kBadTileTitle = "скачка плохих блоков";
inline constexpr std::string_view kBadTileQuestion = "Продолжить загрузку?";
inline constexpr std::string_view kBadFileTitle = "плохой файл";

/// What one download run needs besides the list: what a calculate-only run needs, and how to
/// download.
struct DownloadRun : ListFileRun {
    std::int32_t timeOutSeconds = 60; ///< pause between batches (0 means 30)
    std::int32_t tilesAtOnce = 3000;  ///< batch size of the Google sources; not 0
    bool offline = false;             ///< use only files already on disk
    int connections = 1;              ///< transfers at once; 1 fetches tile after tile
    DownloadLimits limits;
};

/// The counters of a run.
struct DownloadCounters {
    std::int64_t loaded = 0;    ///< tiles whose file is on disk after their step
    std::int64_t added = 0;     ///< tiles fetched from the network (wasNew)
    std::int64_t errors = 0;    ///< tiles that failed
    std::int64_t bytes = 0;     ///< bytes of the tiles fetched
    std::int64_t sideFiles = 0; ///< side files written with the tiles fetched
    /// How many tiles failed of each cause ("time-out", "HTTP 404", "not on disk", ...).
    std::map<std::string, std::int64_t> causes;
};

/// How a download run ended.
enum class DownloadEnd { Completed, Aborted, Failed };

/// Downloads every tile of the list that is not on disk (unless offline) into the run's
/// folder, checks that Google tiles are images, writes each tile's world file (unless one
/// exists), one log line and one .ion line per tile, advances the progress bar, pauses the
/// Google sources after every batch, and stops after a tile when the abort flag is set.
///
/// The transfers go through the transfer engine with the run's number of connections: with
/// one, tile after tile; with several, up to that many at once, while every effect of a tile
/// (counters, world file, log and .ion lines, the mirror it uses, pauses, abort) happens in
/// list order, so that every number of connections writes the same files. Every request asks
/// the server to revalidate ("Cache-Control: no-cache").
///
/// An unexpected error (a world file or log that cannot be written, for instance) is
/// reported under "GoogleLoadKachalka " naming the tile, its file and the cause; files written
/// before stay. Memory: constant in the number of tiles.
DownloadEnd GoogleLoadKachalka(const DownloadRun &run, const tiles::TileList &list,
                               const settings::Settings &settings, DownloadCounters &counters,
                               UiPort &ui, AbortFlag &abort);

} // namespace tessaro::download
