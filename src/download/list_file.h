#pragma once

#include "common/abort_flag.h"
#include "common/ui_port.h"
#include "download/load_log.h"
#include "download/url_template.h"
#include "settings/settings.h"
#include "tiles/tile_list.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>

namespace tessaro::download {

/// What a calculate-only run needs besides the list.
struct ListFileRun {
    std::filesystem::path levelFolder; ///< the run's tile folder (source folder + level)
    tiles::TilesType type = tiles::TilesType::Invalid;
    int level = 0;
    bool makeIon = false;             ///< write the .ion list
    bool skipLog = true;              ///< write no log lines
    download::LoadLog *log = nullptr; ///< the open log when !skipLog; closed at the end
    const AbortFlag *abort = nullptr; ///< when set, the run stops between tiles
    /// The addresses of a template source (TilesType::Xyz); null for the built-in sources.
    const UrlTemplate *urlTemplate = nullptr;
    /// Added to the .ion list's name by one part of a split run ("_part3of7"); empty otherwise.
    std::string partSuffix;
    std::function<std::chrono::system_clock::time_point()> now = std::chrono::system_clock::now;
};

/// Walks the list once without downloading: counts the tiles not on disk in wasNew, writes one
/// log line per tile ("oldfile" for tiles on disk) and, when asked, the .ion list of file names
/// and the addresses the tiles would be fetched from, rotating over the four mirrors. The .ion
/// list is written aside and appears only complete; a stop (the abort flag) ends the walk with
/// the lines so far, the list committed as it is. Returns false after an error, which is
/// reported under "CreateListFile " (message-box mode); log lines written before it stay.
///
/// Complexity: one pass, constant memory (the list is streamed).
bool CreateListFile(const ListFileRun &run, const tiles::TileList &list,
                    const settings::Settings &s, std::int64_t &wasNew, UiPort &ui);

} // namespace tessaro::download
