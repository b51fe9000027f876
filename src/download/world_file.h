#pragma once

#include "tiles/tile_list.h"

#include <filesystem>
#include <string>

namespace tessaro::download {

/// Returns the six lines of a tile's world file, each ended by CR LF: pixel width, 0, 0, pixel
/// height, then x and y of the centre of the upper-left pixel. Records of the ellipsoidal grid
/// hold the south-west corner, so x gains half a pixel and y a tile size less half a pixel
/// (tileSize is 0 for the spherical grids).
[[nodiscard]] std::string WorldFileText(const tiles::TileRecord &record, double tileSize);

/// Writes a world file whole (aside, then renamed) unless one exists already. Returns true
/// when it wrote one. @throws tessaro::FileError
bool WriteWorldFile(const std::filesystem::path &worldFile, const tiles::TileRecord &record,
                    double tileSize);

} // namespace tessaro::download
