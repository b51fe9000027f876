#pragma once

// Tiles on disk as a load run leaves them, their geographic extent worked out independently
// of GDAL and PROJ, and block-index records read back through OGR.

#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tessaro::test {

/// Writes a 256×256 RGB image through GDAL: PNG when png is true, else JPEG; no side file.
void WriteImage(const std::filesystem::path &path, bool png);

/// Writes a tile image and its world file where the download loop puts them; returns the image.
std::filesystem::path WriteTile(const std::filesystem::path &levelFolder, tiles::TilesType type,
                                const tiles::TileRecord &record, int level);

/// Writes text to a file, creating its folder.
void WriteText(const std::filesystem::path &path, const std::string &text);
/// Returns a whole file.
std::string ReadText(const std::filesystem::path &path);
/// Returns every file under a folder (relative path) with its bytes.
std::map<std::string, std::string> FolderBytes(const std::filesystem::path &folder);

/// A tile's extent in WGS 84 degrees.
struct GeoBounds {
    double west, south, east, north;
};

/// Returns a tile's extent from its column and row alone, by the closed Mercator formulas of
/// the sphere and the ellipsoid; no GDAL, no PROJ.
GeoBounds TileGeoBounds(tiles::TilesType type, const tiles::TileRecord &record, int level);

/// The tile list of a small request over central Moscow (a few tiles at levels 10 to 14).
std::vector<tiles::TileRecord> MoscowTiles(tiles::TilesType type, int level);

/// One block-index record as OGR reads it back.
struct BlockRow {
    std::string blockName, service, version, blockType;
    double xm = 0, ym = 0, resolution = 0;
    int zoom = 0, present = 0;
    std::vector<std::pair<double, double>> ring; ///< the outer ring of the polygon
};

/// Returns the records of a layer (the first when layer is empty), sorted by blockName, Service
/// and blockType.
std::vector<BlockRow> ReadBlockRows(const std::filesystem::path &source,
                                    const std::string &layer = {});

/// Expects the records read back to be the expected ones in any order, field by field;
/// doubles within 1e-6, vertices within ringTolerance (a File Geodatabase keeps a 0.1 mm grid).
void ExpectSameRows(std::vector<BlockRow> expected, const std::vector<BlockRow> &actual,
                    double ringTolerance = 1e-6);

} // namespace tessaro::test
