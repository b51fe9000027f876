#pragma once

// Tile stores: the tile files of runs, byte for byte, in one SQLite file on the standard
// web-mercator grid, as other tools read tile pyramids: MBTiles or a GeoPackage tile table.

#include "common/ui_port.h"
#include "mosaic/store_target.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <cstdint>
#include <filesystem>

namespace tessaro::mosaic {

/// What WriteTileStore did.
struct StoreResult {
    bool written = false;        ///< the store holds the run's tiles (committed)
    std::int64_t stored = 0;     ///< tiles added or replaced
    std::int64_t missing = 0;    ///< listed tiles not on disk
    std::int64_t unreadable = 0; ///< tile files that are neither JPEG nor PNG (left out)
};

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
