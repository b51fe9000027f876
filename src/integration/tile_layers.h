#pragma once

// Tile layers in a QGIS project: one top-level group per tile source and kind, one group per
// zoom level inside it, one raster layer per tile file.

#include "dialogs/ui_port.h"
#include "settings/settings.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <QHash>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <string_view>

class QgsCoordinateReferenceSystem;
class QgsLayerTreeGroup;
class QgsProject;
class QgsRasterLayer;

namespace tessaro::integration {

/// Caption of the progress label while tiles become layers.
inline constexpr std::string_view kAddRastersLabel = "add rasters to map";

/// The raster layers of one level group, looked up by name without regard to letter case.
/// The group's children are read once when the object is made, so that a run over thousands
/// of tiles asks a hash table instead of walking the group for every tile; layers added
/// through addRasterLayer are entered as they come.
///
/// The object holds plain pointers into the project: use it only while nothing else removes
/// layers or the group (within one call of AddGoogleRasters).
///
/// Complexity: O(children) to make, O(1) per look-up; memory one entry per raster layer.
class LevelGroupLayers {
public:
    explicit LevelGroupLayers(QgsLayerTreeGroup &group);

    /// The level group.
    [[nodiscard]] QgsLayerTreeGroup &Group() const noexcept { return *m_group; }

    /// Returns the first raster layer of the group (from the top) whose name equals name in
    /// upper case, or nullptr.
    [[nodiscard]] QgsRasterLayer *Find(const QString &name) const;

    /// Enters a layer just added below the group's other children. An earlier layer of the
    /// same name stays the one Find returns.
    void Insert(QgsRasterLayer &layer);

private:
    QgsLayerTreeGroup *m_group;
    QHash<QString, QgsRasterLayer *> m_byUpperName;
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
                                  std::string_view levelPrefix, dialogs::UiPort &ui);

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
                                 const LevelGroupLayers &levelGroup, dialogs::UiPort &ui);

/// Creates a raster layer named fileNameWithExt from the tile file fullFileName, adds it to
/// the project and below the other children of the level group (collapsed, so that the group
/// shows one line per tile), and returns it. A tile whose coordinate system QGIS cannot read
/// (no side file) gets fallbackCrs. The layer does not load a default style and computes no
/// statistics its rendering does not use.
///
/// A file QGIS cannot open as a raster, or any other failure, is reported through the error
/// report under "addRasterLayer " and gives nullptr; the project is then unchanged.
QgsRasterLayer *addRasterLayer(QgsProject &project, const std::filesystem::path &fullFileName,
                               std::string_view fileNameWithExt, LevelGroupLayers &levelGroup,
                               const QgsCoordinateReferenceSystem &fallbackCrs,
                               dialogs::UiPort &ui);

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
/// Complexity: one look-up in the folder index and one in the level group's index per tile,
/// one GDAL open per layer added; the level folder is listed once.
/// @pre a QgisSession is running.
std::int64_t AddGoogleRasters(QgsProject &project, const std::filesystem::path &levelFolder,
                              const tiles::TileList &list, int level, tiles::TilesType type,
                              const settings::Settings &settings, dialogs::UiPort &ui);

/// Adds a raster file (a mosaic of tiles) to the top of the project's layer tree under the
/// given name and returns the layer. A file without a coordinate system QGIS can read keeps
/// none.
/// @throws tessaro::FileError naming the file and QGIS's reason when QGIS cannot open it.
QgsRasterLayer &AddRasterToRoot(QgsProject &project, const std::filesystem::path &path,
                                std::string_view name);

} // namespace tessaro::integration
