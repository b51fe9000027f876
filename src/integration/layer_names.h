#pragma once

// Names of the groups and layers that tiles get in the map. Free of QGIS, so that the rules can
// be read and tested on their own.

#include "settings/settings.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <string>
#include <string_view>

namespace tessaro::integration {

/// True for the tile types that have layers in the map: 0, 1, 12, 2, 3, 4, 50 and 51.
[[nodiscard]] bool HasTileLayers(tiles::TilesType type) noexcept;

/// Returns the image extension of a tile type without its dot: "png" for Google and Yandex
/// maps, "jpg" for the other types with layers; empty for any other code.
[[nodiscard]] std::string_view GetFileExt(tiles::TilesType type) noexcept;

/// Returns the world-file extension without its dot: "pgw" beside PNG tiles, "jgw" beside
/// JPEG ones; empty for a code without layers.
[[nodiscard]] std::string_view GetWorldFileExt(tiles::TilesType type) noexcept;

/// Returns the name of the top-level group of a tile type, taken from the layer-name settings:
/// the satellite, map or landscape name of the source's profile (shaded relief uses the
/// satellite name of its profile); for a template source its name (Settings::templateSource,
/// "XYZ" when none is given). Empty for a code without layers.
[[nodiscard]] std::string GetRootName(tiles::TilesType type, const settings::Settings &settings);

/// Returns the level-group prefix of the profile currently selected as the source
/// (settings.source); empty when no source is selected.
[[nodiscard]] std::string GetLevelPrefix(const settings::Settings &settings);

/// Returns the name of a level group: the prefix followed by the level with at least two
/// digits ("Level_" and 3 give "Level_03", 17 gives "Level_17").
[[nodiscard]] std::string LevelGroupName(std::string_view prefix, int level);

/// Returns the name of a tile's layer: its file name with extension ("trt.jpg",
/// "5_17-9.jpg" for a shaded-relief tile). Empty for a code without layers.
[[nodiscard]] std::string TileLayerName(tiles::TilesType type, const tiles::TileRecord &record,
                                        int level);

} // namespace tessaro::integration
