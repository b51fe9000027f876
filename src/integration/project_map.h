#pragma once

#include "common/ui_port.h"
#include "settings/settings.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

namespace tessaro::integration {

/// A QGIS project file that a command-line run adds its tile layers to, with QGIS running
/// headless behind it. Plain C++ on this side: QGIS and its libraries live in a module of
/// their own that the program loads only for runs that write a project, so that every other
/// run starts without them (they take some 30 MB the moment they are mapped). No call throws:
/// an exception never crosses the module's boundary, every failure is reported inside it.
/// How a project holds the tiles of a level: one raster layer per tile file (as the map was
/// always built), or one virtual mosaic (VRT) of the level folder's tiles per level group,
/// which QGIS opens in the time of one layer however many tiles there are.
enum class TileLayers { PerTile, PerLevel };

class ProjectMap {
public:
    virtual ~ProjectMap() = default;

    /// The project file, absolute.
    [[nodiscard]] virtual const std::filesystem::path &Path() const = 0;

    /// Adds the list's tile files as layers in their groups; see AddGoogleRasters in
    /// integration/tile_layers.h.
    virtual std::int64_t AddGoogleRasters(const std::filesystem::path &levelFolder,
                                          const tiles::TileList &list, int level,
                                          tiles::TilesType type, const settings::Settings &settings,
                                          UiPort &ui) = 0;

    /// Adds a raster file at the top of the layer tree under a name. A failure (QGIS cannot
    /// open the file) is reported under the procedure and gives false.
    virtual bool AddRasterToRoot(const std::filesystem::path &path, std::string_view name,
                                 std::string_view procedure, UiPort &ui) = 0;

    /// Chooses how AddGoogleRasters adds tiles from now on (PerTile until set).
    virtual void SetTileLayers(TileLayers layers) = 0;

    /// Sets the project's coordinate system from a code QGIS knows ("EPSG:3857", "ESRI:53004").
    /// Without it a project that has none takes the system of the first tiles or raster added.
    /// An unknown code shows a message and gives false.
    virtual bool SetCrs(std::string_view code, UiPort &ui) = 0;

    /// Writes the project to its file; on a failure shows the message and returns false.
    virtual bool Save(UiPort &ui) = 0;
};

/// How layers already in a project are read: opened as the desktop does, or only carried
/// along (much faster for projects of many layers that are only extended and saved).
enum class ProjectLayers { Open, Deferred };

/// Starts QGIS and opens (or starts) the project at path: read when the file exists, written
/// there by the first Save otherwise. QGIS can start once per process; the object ends it.
/// @throws tessaro::Error when the QGIS module cannot be loaded or QGIS cannot start, and
/// tessaro::FileError when the project cannot be read (the message names file and reason).
[[nodiscard]] std::unique_ptr<ProjectMap> OpenProjectMap(const std::filesystem::path &path,
                                                         ProjectLayers layers);

/// The name of the function the QGIS module exports: it makes the ProjectMap, or returns
/// nullptr after writing the reason (NUL-terminated, cut to fit) into reason.
inline constexpr const char *kOpenProjectMapSymbol = "tessaro_open_project_map";
using OpenProjectMapFunction = ProjectMap *(*)(const char *path, int deferred, int *fileError,
                                               char *reason, std::size_t reasonSize);

} // namespace tessaro::integration
