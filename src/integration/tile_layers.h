#pragma once

// Tile layers in a QGIS project: one top-level group per tile source and kind, one group per
// zoom level inside it, one raster layer per tile file.

#include "common/ui_port.h"
#include "settings/settings.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <QHash>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

class QgsCoordinateReferenceSystem;
class QgsLayerTreeGroup;
class QgsProject;
class QgsRasterLayer;

namespace tessaro::integration {

/// Caption of the progress label while tiles become layers.
inline constexpr std::string_view kAddRastersLabel = "add rasters to map";

/// The raster layers of one level group, looked up by name without regard to letter case,
/// and the new tile layers waiting to join it.
///
/// The group's children are read once when the object is made, so that a run over thousands
/// of tiles asks a hash table instead of walking the group for every tile. New layers join the
/// project and the bottom of the group together at Commit: QGIS spends time proportional to
/// the project's layers on every addition, so adding thousands of layers one at a time would
/// take time quadratic in their number.
///
/// The object holds plain pointers into the project: use it only while nothing else removes
/// layers or the group (within one call of AddGoogleRasters).
///
/// Complexity: O(children) to make, O(1) per look-up and per added layer, O(project's layers
/// + added layers) per commit; memory one entry per raster layer.
class LevelGroupLayers {
public:
    LevelGroupLayers(QgsProject &project, QgsLayerTreeGroup &group);
    /// Commits the layers still waiting; when QGIS refuses them they are dropped.
    ~LevelGroupLayers();
    LevelGroupLayers(const LevelGroupLayers &) = delete;
    LevelGroupLayers &operator=(const LevelGroupLayers &) = delete;

    /// The level group.
    [[nodiscard]] QgsLayerTreeGroup &Group() const noexcept { return *m_group; }

    /// Returns the first raster layer of the group (from the top, waiting layers last) whose
    /// name equals name in upper case, or nullptr.
    [[nodiscard]] QgsRasterLayer *Find(const QString &name) const;

    /// Takes a new layer, which Find knows at once and which joins the project and the group
    /// at the next Commit.
    QgsRasterLayer &Add(std::unique_ptr<QgsRasterLayer> layer);

    /// Adds the waiting layers to the project and below the group's children, in the order
    /// they came, collapsed so that the group shows one line per tile.
    /// @throws tessaro::Error when QGIS refuses them; they are dropped then.
    void Commit();

private:
    void Index(QgsRasterLayer &layer);

    QgsProject *m_project;
    QgsLayerTreeGroup *m_group;
    QHash<QString, QgsRasterLayer *> m_byUpperName;
    std::vector<std::unique_ptr<QgsRasterLayer>> m_waiting;
};

/// Returns the level group of a tile source at a level: the first top-level group of the
/// project named rootName exactly (letter case matters; groups inside other groups are not
/// searched), created at the top of the layer tree when missing; inside it the first group
/// named LevelGroupName(levelPrefix, level), created when missing, after which the root
/// group's children are sorted by name in descending order so that the finest level stands
/// first. The root group is left expanded.
///
/// On a failure shows "can not create layer " + levelPrefix + the two-digit level (plain
/// message) and returns nullptr.
QgsLayerTreeGroup *FindGooGrLayer(QgsProject &project, int level, std::string_view rootName,
                                  std::string_view levelPrefix, UiPort &ui);

/// Sorts the children of a group by name, as plain text compared by character code (letter
/// case matters): ascending when ascending is true, else descending. Children of equal names
/// keep their order. The children are replaced by copies in the new order (QGIS cannot move a
/// node within its group): pointers to them, or to nodes below them, are no longer valid
/// afterwards, while the layers stay in the project.
///
/// Complexity: O(nodes below the group), the copying.
void SortGrLayerByName(QgsLayerTreeGroup &group, bool ascending);

/// Returns the raster layer of the level group whose name equals fileNameWithExt without
/// regard to letter case ("A.JPG" finds "a.jpg"), or nullptr. A failure is reported through
/// the error report under "ExistRasterLayer " and gives nullptr.
QgsRasterLayer *ExistRasterLayer(std::string_view fileNameWithExt,
                                 const LevelGroupLayers &levelGroup, UiPort &ui);

/// Creates a raster layer named fileNameWithExt from the tile file fullFileName and hands it
/// to the level group, which adds it to the project below its other children at its next
/// commit; returns the layer. A tile whose coordinate system QGIS cannot read (no side file)
/// gets fallbackCrs. The layer loads no default style and computes no statistics its rendering
/// does not use; a JPEG tile is opened without the reduced-resolution views GDAL would
/// otherwise offer, each of which keeps the file open once more.
///
/// A file QGIS cannot open as a raster, or any other failure, is reported through the error
/// report under "addRasterLayer " and gives nullptr; nothing is added then.
QgsRasterLayer *addRasterLayer(QgsProject &project, const std::filesystem::path &fullFileName,
                               std::string_view fileNameWithExt, LevelGroupLayers &levelGroup,
                               const QgsCoordinateReferenceSystem &fallbackCrs, UiPort &ui);

/// Returns the coordinate system tiles of a type are drawn in: ESRI:53004 (sphere Mercator)
/// for Google and shaded relief, ESRI:54004 (World Mercator) for ScanEx and Yandex; an invalid
/// one for a code without layers.
[[nodiscard]] QgsCoordinateReferenceSystem TileCrs(tiles::TilesType type);

/// Adds the tiles of a run that lie on disk to the project as raster layers, grouped per
/// source and kind (root group GetRootName) and level (LevelGroupName with GetLevelPrefix),
/// and returns how many layers were added. Tiles missing on disk and tiles whose level group
/// already has a layer of the same name (letter case aside) are passed over, so a second run
/// adds nothing. The progress label reads "add rasters to map" while the bar runs over the
/// list; both are cleared at the end.
///
/// When the groups cannot be found or made, FindGooGrLayer shows its message and −1 is
/// returned with nothing added. A failure for one tile is reported by ExistRasterLayer or
/// addRasterLayer and the run goes on. Any other failure (a type without layers, for one) is
/// reported under "AddGoogleRasters " and gives −1; layers added before stay.
///
/// The new layers join the project together at the end of the run (also after a failure), so
/// that the run takes time linear in the number of tiles.
///
/// Complexity: one look-up in the folder index and one in the level group's index per tile,
/// one GDAL open per layer added (the tile stays open while the layer lives); the level folder
/// is listed once.
/// @pre a QgisSession is running.
std::int64_t AddGoogleRasters(QgsProject &project, const std::filesystem::path &levelFolder,
                              const tiles::TileList &list, int level, tiles::TilesType type,
                              const settings::Settings &settings, UiPort &ui);

/// Adds the tiles of a run's level as one layer: a virtual mosaic (mosaic::BuildLevelMosaic) of
/// every tile in the level folder, written there as kLevelMosaicName, in the level group of
/// AddGoogleRasters. The layer is added once; a later run rewrites the mosaic, which the layer
/// then shows. Returns the run's tiles on disk (which the mosaic shows), or −1 after the
/// messages of a failure, reported under "AddGoogleRasters ".
/// Complexity: two GDAL opens per tile in the level folder; one layer whatever their number.
/// @pre a QgisSession is running.
std::int64_t AddLevelMosaic(QgsProject &project, const std::filesystem::path &levelFolder,
                            const tiles::TileList &list, int level, tiles::TilesType type,
                            const settings::Settings &settings, UiPort &ui);

/// The file name of a level's virtual mosaic in its level folder.
inline constexpr std::string_view kLevelMosaicName = "tessaro-level.vrt";

/// Gives a project without a coordinate system (a new one) the given one; a project that has
/// one keeps it.
void EnsureProjectCrs(QgsProject &project, const QgsCoordinateReferenceSystem &crs);

/// Adds a raster file (a mosaic of tiles) to the top of the project's layer tree under the
/// given name and returns the layer; a raster the project already has a layer of (the same
/// source) is not added again: its layer is returned, reloaded. A file without a coordinate
/// system QGIS can read keeps none.
/// @throws tessaro::FileError naming the file and QGIS's reason when QGIS cannot open it.
QgsRasterLayer &AddRasterToRoot(QgsProject &project, const std::filesystem::path &path,
                                std::string_view name);

} // namespace tessaro::integration
