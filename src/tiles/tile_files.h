#pragma once

#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace tessaro::tiles {

/// The extension of a template source's JPEG tiles; its PNG tiles take ImageExtension's ".png".
inline constexpr std::string_view kJpegExtension = ".jpg";

/// Returns the image extension with its dot: ".png" for Google and Yandex map tiles, ".jpg"
/// for every other type; empty for TilesType::Invalid. A template source's tiles take the
/// extension of the image the server sends; ".png" stands for a tile not fetched yet.
[[nodiscard]] std::string_view ImageExtension(TilesType type) noexcept;

/// Returns the world-file extension with its dot: ".pgw" beside PNG tiles, ".jgw" beside JPEG.
[[nodiscard]] std::string_view WorldFileExtension(TilesType type) noexcept;

/// Returns the short type word of logs and index records: "sat", "map", "lnd", or "xyz" for a
/// template source.
[[nodiscard]] std::string_view TypeWord(TilesType type) noexcept;

/// Returns a tile's file name without folder and extension: the block name for Google
/// satellite, ScanEx and Yandex; column "_" row for Google map and landscape; level "_" column
/// "-" row for shaded relief; the row (y) for a template source, whose folder is its column.
[[nodiscard]] std::string TileBaseName(TilesType type, const TileRecord &record, int level);

/// Appends TileBaseName to out without a temporary string.
void AppendTileBaseName(std::string &out, TilesType type, const TileRecord &record, int level);

/// Returns the folder a tile lies in: the level folder, for shaded relief its row folder
/// "row<row>" below it, for a template source its column folder "<x>" below it.
[[nodiscard]] std::filesystem::path TileFolder(const std::filesystem::path &levelFolder,
                                               TilesType type, const TileRecord &record);

/// Returns the full path of a tile's image file.
[[nodiscard]] std::filesystem::path TilePath(const std::filesystem::path &levelFolder,
                                             TilesType type, const TileRecord &record, int level);

/// Returns the path of a tile's image as it lies on disk: TilePath, except that a template
/// source's tile that is on disk as a JPEG gives that file. One file-system look-up for
/// template sources, none for the others.
[[nodiscard]] std::filesystem::path FindTilePath(const std::filesystem::path &levelFolder,
                                                 TilesType type, const TileRecord &record,
                                                 int level);

/// Returns the path of the world file beside a tile image: the image extension replaced by the
/// world-file extension (for a template source the one of the image's own type).
[[nodiscard]] std::filesystem::path WorldFilePath(const std::filesystem::path &imagePath,
                                                  TilesType type);

} // namespace tessaro::tiles
