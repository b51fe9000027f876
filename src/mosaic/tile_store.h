#pragma once

// Tile stores: the tile files of runs, byte for byte, in one SQLite file on the standard
// web-mercator grid, as other tools read tile pyramids: MBTiles or a GeoPackage tile table.

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

/// What WriteTileStore did.
struct StoreResult {
    bool written = false;        ///< the store holds the run's tiles (committed)
    std::int64_t stored = 0;     ///< tiles added or replaced
    std::int64_t missing = 0;    ///< listed tiles not on disk
    std::int64_t unreadable = 0; ///< tile files that are neither JPEG nor PNG (left out)
};

/// The checks WriteTileStore makes before it reads a tile, made before a run downloads
/// anything: an extension that names no store, and tiles of the ellipsoidal grid. Shows the
/// refusal's message (exclamation icon) and returns false when the store would be refused.
[[nodiscard]] bool CheckTileStore(const std::filesystem::path &file, tiles::TilesType type,
                                  UiPort &ui);

/// Writes the run's tile files, their bytes unchanged, into the store at file: created when
/// missing; otherwise the tiles are added, a tile already there at the same place replaced.
/// The tiles and the metadata go in one transaction, so that a failure leaves an existing store
/// as it was (a new one is removed). The metadata follow every tile the store holds afterwards:
/// MBTiles bounds (degrees), minzoom, maxzoom, format (of the first tile, kept when set), name,
/// attribution, type; a GeoPackage table's extent in gpkg_contents (EPSG:3857 metres) and one
/// tile matrix per zoom it holds, on the grid of the whole web-mercator square.
///
/// The checks of CheckTileStore come first, each with its message (nothing written). Errors
/// are reported under "WriteTileStore " and leave the store as it was.
/// Complexity: one read of each tile file and one SQL statement per tile; memory holds one tile.
[[nodiscard]] StoreResult WriteTileStore(const std::filesystem::path &file,
                                         const std::filesystem::path &levelFolder,
                                         const tiles::TileList &list, tiles::TilesType type,
                                         int level, const StoreInfo &info, UiPort &ui);

} // namespace tessaro::mosaic
