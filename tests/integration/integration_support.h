#pragma once

// Headless QGIS for the whole test program, and tiles on disk as a load run leaves them.

#include "settings/settings.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

class QgsLayerTreeGroup;
class QgsProject;
class QgsRectangle;

namespace tessaro::test {

/// The home folder QGIS sees while the test program runs: a fresh temporary folder that must
/// stay empty, so that nothing is read from or written into the user's own profile.
[[nodiscard]] const std::filesystem::path &FakeHome();

/// The folder of the running session's QGIS profile.
[[nodiscard]] const std::filesystem::path &SessionProfile();

/// A request of about two by two tiles near Moscow at a level.
[[nodiscard]] tiles::TileRequest SmallRequest(tiles::TilesType type, int level);

/// Writes every tile of a list (image and world file) and records its coordinate system in
/// its side file as the load run does; returns the paths of the images.
std::vector<std::filesystem::path> WriteTiles(const std::filesystem::path &levelFolder,
                                              tiles::TilesType type, const tiles::TileList &list,
                                              int level);

/// The settings of a freshly opened dialog with the source of a tile type selected.
[[nodiscard]] settings::Settings SettingsFor(tiles::TilesType type);

/// A map extent: west, south, east, north.
struct Extent {
    double xMin, yMin, xMax, yMax;
};
/// Returns the extent of a 256×256 tile that its world file gives.
[[nodiscard]] Extent WorldFileExtent(const std::filesystem::path &worldFile);
/// Expects a map extent to be the given one within tolerance.
void ExpectExtent(const QgsRectangle &actual, const Extent &expected, double tolerance);

/// Returns the names of a group's children, top first; a group's name is followed by "/".
[[nodiscard]] std::vector<std::string> ChildNames(const QgsLayerTreeGroup &group);

/// Returns the top-level group of that exact name, or nullptr.
[[nodiscard]] QgsLayerTreeGroup *TopGroup(QgsProject &project, const std::string &name);

} // namespace tessaro::test
