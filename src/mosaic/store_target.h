#pragma once

// What a tile store is asked for and where its tiles go on the web-mercator grid: free of GDAL,
// so that the command line checks a store before a run without loading GDAL.

#include "common/ui_port.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tessaro::mosaic {

/// The kinds of tile store, by the file's extension (letter case ignored).
enum class StoreFormat {
    MbTiles,    ///< ".mbtiles": MBTiles 1.3 (rows counted from the south, as TMS does)
    GeoPackage, ///< ".gpkg": a tile table of a GeoPackage on EPSG:3857 (rows from the north)
    Invalid,    ///< any other extension
};

/// Returns the format of a store's file name.
[[nodiscard]] StoreFormat StoreFormatOf(const std::filesystem::path &file) noexcept;

/// Where a tile lies on the web-mercator grid: zoom, column from the west, row from the north.
struct XyzTile {
    int zoom = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    friend bool operator==(const XyzTile &, const XyzTile &) = default;
};

/// Returns the web-mercator tile a tile record of a type stands for: the same column and row
/// one zoom coarser than a Google level (level L has 2^(L−1) tiles a side, zoom z 2^z), at the
/// level itself for shaded relief (one level finer than Google) and template sources; nothing
/// for the ellipsoidal grid of ScanEx and Yandex, whose tiles no web-mercator tile matches.
[[nodiscard]] std::optional<XyzTile> XyzTileOf(tiles::TilesType type, int level,
                                               const tiles::TileRecord &record) noexcept;

/// What a store records about its tiles besides them.
struct StoreInfo {
    std::string name;        ///< MBTiles "name", the GeoPackage table's identifier
    std::string attribution; ///< MBTiles "attribution", the table's description
};

/// The checks WriteTileStore makes before it reads a tile, made before a run downloads
/// anything: an extension that names no store, and tiles of the ellipsoidal grid. Shows the
/// refusal's message (exclamation icon) and returns false when the store would be refused.
[[nodiscard]] bool CheckTileStore(const std::filesystem::path &file, tiles::TilesType type,
                                  UiPort &ui);

} // namespace tessaro::mosaic
