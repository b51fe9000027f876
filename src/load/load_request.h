#pragma once

#include "download/url_template.h"
#include "tiles/tiles_type.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace tessaro::load {

/// The pauses of Google downloads: after every tilesAtOnce tiles the run counts
/// timeOutSeconds down (0 means 30).
struct DownloadPauses {
    std::int32_t timeOutSeconds = 60;
    std::int32_t tilesAtOnce = 3000; ///< a batch size of 0 stops Google downloads before they start
};

/// One load as values: what to fetch, where the files go and what to write besides the tiles.
/// The command line and the dialog build it (the dialog through ReadLoadRequest); the run
/// itself reads no text.
struct LoadRequest {
    tiles::Source source = tiles::Source::Goo;
    tiles::Kind kind = tiles::Kind::Sat;
    int level = 15;
    double lat1 = 37.8; ///< south latitude
    double lat2 = 38.2; ///< north latitude
    double lon1 = 55.2; ///< west longitude
    double lon2 = 55.8; ///< east longitude
    /// The tile folder of the source and kind; tiles go to its level folder, the log into it.
    std::filesystem::path directory;

    bool onlyCalculate = false; ///< count and list the tiles, download nothing
    bool skipLog = true;        ///< write no load log
    bool makeIon = false;       ///< write the .ion list of file names and addresses
    bool useSelection = false;  ///< keep only the tiles that meet the map's selected features
    bool offline = false;       ///< fetch nothing; use the tiles already on disk
    bool skipAddToMap = false;  ///< add no tile layers to the map
    bool mosaic = false;        ///< build the mosaic of the run's tiles
    bool createPolygon = false; ///< record every tile in the open block index
    DownloadPauses pauses;
    int connections = 1; ///< transfers at once; 1 fetches one tile after another
    /// A template source: when given, the run fetches its tiles on the web-mercator grid (level
    /// is the zoom, 0..22) instead of those of source and kind, into DIR/z/x/y.ext.
    std::optional<download::UrlTemplate> urlTemplate;
    /// One of several disjoint parts of the tile list (from 0), for runs split across machines:
    /// the part's log and .ion list carry "_part<K>of<N>" in their names.
    std::int32_t partIndex = 0;
    std::int32_t partCount = 1;
};

} // namespace tessaro::load
