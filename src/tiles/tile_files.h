#pragma once

#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace tessaro::tiles {

/// Returns the image extension with its dot: ".png" for Google and Yandex map tiles, ".jpg"
/// for every other type; empty for TilesType::Invalid.
[[nodiscard]] std::string_view ImageExtension(TilesType type) noexcept;

/// Returns the world-file extension with its dot: ".pgw" beside PNG tiles, ".jgw" beside JPEG.
[[nodiscard]] std::string_view WorldFileExtension(TilesType type) noexcept;

/// Returns the short type word of logs and index records: "sat", "map" or "lnd".
[[nodiscard]] std::string_view TypeWord(TilesType type) noexcept;

/// Returns a tile's file name without folder and extension: the block name for Google
/// satellite, ScanEx and Yandex; column "_" row for Google map and landscape; level "_" column
/// "-" row for shaded relief.
[[nodiscard]] std::string TileBaseName(TilesType type, const TileRecord &record, int level);

/// Appends TileBaseName to out without a temporary string.
void AppendTileBaseName(std::string &out, TilesType type, const TileRecord &record, int level);

/// Returns the folder a tile lies in: the level folder, or for shaded relief its row folder
/// "row<row>" below it.
[[nodiscard]] std::filesystem::path TileFolder(const std::filesystem::path &levelFolder,
                                               TilesType type, const TileRecord &record);

/// Returns the full path of a tile's image file.
[[nodiscard]] std::filesystem::path TilePath(const std::filesystem::path &levelFolder,
                                             TilesType type, const TileRecord &record, int level);

/// Returns the path of the world file beside a tile image: the image extension replaced by the
/// world-file extension.
[[nodiscard]] std::filesystem::path WorldFilePath(const std::filesystem::path &imagePath,
                                                  TilesType type);

} // namespace tessaro::tiles
