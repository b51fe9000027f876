#pragma once

#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace tessaro::load {

/// What a load run needs of the map and its data besides the files: the selection, the tiles'
/// coordinate system, tile layers, the mosaic and the block index. The command line serves it
/// with a QGIS project file and GDAL/OGR; the desktop plugin with the open project. Every
/// operation reports its own problems to the user and does not throw.
class MapHost {
public:
    MapHost() = default;
    MapHost(const MapHost &) = delete;
    MapHost &operator=(const MapHost &) = delete;
    virtual ~MapHost() = default;

    /// Number of selected features of the map.
    virtual std::int64_t SelectionCount() = 0;
    /// The extent of the selected features in WGS 84 degrees: south, north, west, east
    /// latitudes and longitudes, as the extent boxes take them. Nothing when no feature has
    /// an extent.
    /// @throws tessaro::Error when a feature's extent cannot be projected.
    virtual std::optional<std::array<double, 4>> SelectionExtent() = 0;

    /// Keeps the tiles whose ground polygon meets a selected feature, in list order. Returns the
    /// last index of the kept list, −1 when no tile meets the selection or on an error.
    virtual std::int64_t FilterBySelection(const tiles::TileList &list, tiles::TilesType type,
                                           int level, std::string_view sourceText,
                                           std::vector<tiles::TileRecord> &kept) = 0;

    /// Gives every tile on disk the coordinate system of its source. Returns false when a
    /// problem was reported.
    virtual bool SetRasterSpatRef(const std::filesystem::path &levelFolder,
                                  const tiles::TileList &list, tiles::TilesType type,
                                  int level) = 0;

    /// Adds the tiles on disk to the map grouped per source and level; returns how many layers
    /// were added, or −1 when a problem was reported.
    virtual std::int64_t AddGoogleRasters(const std::filesystem::path &levelFolder,
                                          const tiles::TileList &list, int level,
                                          tiles::TilesType type) = 0;

    /// Builds the mosaic of the run's tiles when one is asked for. Returns false when a
    /// problem was reported.
    virtual bool ShowMosaic(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                            tiles::TilesType type, int level) = 0;

    /// Opens the block index a path names for the runs to come, in place of the one open:
    /// as the dialog does at opening (a missing index is offered for creation) or, when the
    /// user has just chosen it, created at once. Rewrites path as opened (a shapefile name
    /// with ".shp", a database alone with its layer "blocks"), or clears it when the user
    /// declined the creation. Returns false when no index resulted (its message shown).
    virtual bool OpenPolygonIndex(std::filesystem::path &path, bool chosen) = 0;
    /// True when a block index is open.
    virtual bool HasPolygonIndex() = 0;

    /// Records every listed tile in the block index. Returns false when a problem was reported.
    virtual bool AddPolygonFC(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                              tiles::TilesType type, int level, std::string_view sourceText) = 0;
};

} // namespace tessaro::load
