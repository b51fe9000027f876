#include "integration/tile_layers.h"

#include "common/error.h"
#include "common/error_report.h"
#include "common/files.h"
#include "common/progress.h"
#include "common/text.h"
#include "integration/layer_names.h"
#include "integration/qgis_tuning.h"
#include "mapout/spatial_reference.h"
#include "mosaic/virtual_mosaic.h"
#include "tiles/tile_files.h"

#include <qgscoordinatereferencesystem.h>
#include <qgslayertree.h>
#include <qgslayertreegroup.h>
#include <qgslayertreelayer.h>
#include <qgsproject.h>
#include <qgsproviderregistry.h>
#include <qgsrasterlayer.h>

#include <QSet>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

namespace tessaro::integration {

namespace fs = std::filesystem;

namespace {

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

QString ToQString(const fs::path &path) {
    return QString::fromStdString(path.string());
}

QgsRasterLayer *AsRasterLayer(QgsLayerTreeNode *node) {
    if (!QgsLayerTree::isLayer(node)) {
        return nullptr;
    }
    return qobject_cast<QgsRasterLayer *>(QgsLayerTree::toLayer(node)->layer());
}

// Opens a raster file as QGIS's GDAL provider does for the desktop, minus two costs a tile
// does not need: the search for a default style beside the file, and the check of a missing
// coordinate system, which would give the layer the project's system instead of leaving it
// invalid for the caller to decide. GDAL's open options go into the layer's source.
std::unique_ptr<QgsRasterLayer> OpenRaster(QgsProject &project, const fs::path &path,
                                           std::string_view name,
                                           const QStringList &openOptions = {}) {
    // A relative path would be kept as it stands and resolved later against whatever folder
    // QGIS runs in; an absolute one is written relative to the project file.
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    QString source = ToQString(ec ? path : absolute);
    if (!openOptions.isEmpty()) {
        source = QgsProviderRegistry::instance()->encodeUri(
            QStringLiteral("gdal"),
            {{QStringLiteral("path"), source}, {QStringLiteral("openOptions"), openOptions}});
    }
    QgsRasterLayer::LayerOptions options(false, project.transformContext());
    options.skipCrsValidation = true;
    auto layer =
        std::make_unique<QgsRasterLayer>(source, ToQString(name), QStringLiteral("gdal"), options);
    if (!layer->isValid()) {
        QString reason = layer->error().summary();
        if (reason.isEmpty()) {
            reason = QStringLiteral("not a raster QGIS can read");
        }
        throw FileError("Could not open " + path.string() +
                        " as a raster layer: " + reason.toStdString());
    }
    return layer;
}

// GDAL offers a JPEG at reduced sizes as overviews decoded on the fly and opens the file once
// more to serve them as soon as QGIS asks for overviews: every tile layer would hold its file
// open twice, and ten thousand layers would exhaust the usual limit of open files. A 256 pixel
// tile draws fast enough from the file itself.
QStringList TileOpenOptions(const fs::path &tile) {
    if (tile.extension() == ".jpg") {
        return {QStringLiteral("USE_INTERNAL_OVERVIEWS=NO")};
    }
    return {};
}

// Hands a layer to the project without letting the project place it in the layer tree.
QgsRasterLayer &AddToProject(QgsProject &project, std::unique_ptr<QgsRasterLayer> layer) {
    if (project.addMapLayer(layer.get(), false) == nullptr) {
        throw Error("QGIS refused to add the layer " + layer->name().toStdString() +
                    " to the project");
    }
    return *layer.release();
}

// The raster layer of the project whose source is this file (or GDAL name), or nullptr.
QgsRasterLayer *FindRasterLayer(QgsProject &project, const fs::path &path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    const QString source = ToQString(ec ? path : absolute);
    const QString original = ToQString(path);
    for (QgsMapLayer *layer : project.mapLayers()) {
        auto *raster = qobject_cast<QgsRasterLayer *>(layer);
        if (raster != nullptr && (raster->source() == source || raster->source() == original)) {
            return raster;
        }
    }
    return nullptr;
}

QgsLayerTreeGroup *FirstGroupNamed(QgsLayerTreeGroup &parent, const QString &name) {
    for (QgsLayerTreeNode *child : parent.children()) {
        if (QgsLayerTree::isGroup(child) && QgsLayerTree::toGroup(child)->name() == name) {
            return QgsLayerTree::toGroup(child);
        }
    }
    return nullptr;
}

} // namespace

LevelGroupLayers::LevelGroupLayers(QgsProject &project, QgsLayerTreeGroup &group)
    : m_project(&project), m_group(&group) {
    const QList<QgsLayerTreeNode *> children = group.children();
    m_byUpperName.reserve(children.size());
    for (QgsLayerTreeNode *child : children) {
        if (QgsRasterLayer *layer = AsRasterLayer(child)) {
            Index(*layer);
        }
    }
}

LevelGroupLayers::~LevelGroupLayers() {
    try {
        Commit();
    } catch (const std::exception &) { // NOLINT(bugprone-empty-catch): Commit dropped them
    }
}

QgsRasterLayer *LevelGroupLayers::Find(const QString &name) const {
    return m_byUpperName.value(name.toUpper(), nullptr);
}

QgsRasterLayer &LevelGroupLayers::Add(std::unique_ptr<QgsRasterLayer> layer) {
    QgsRasterLayer &added = *layer;
    m_waiting.push_back(std::move(layer));
    Index(added);
    return added;
}

void LevelGroupLayers::Index(QgsRasterLayer &layer) {
    const QString key = layer.name().toUpper();
    if (!m_byUpperName.contains(key)) {
        m_byUpperName.insert(key, &layer);
    }
}

void LevelGroupLayers::Commit() {
    if (m_waiting.empty()) {
        return;
    }
    QList<QgsMapLayer *> layers;
    layers.reserve(static_cast<int>(m_waiting.size()));
    for (const auto &layer : m_waiting) {
        layers.append(layer.get());
    }
    // For every layer it takes in, the project walks all its layers, those of the same call
    // included: taken in slices, each slice meets only the layers before it, which halves
    // that quadratic cost.
    constexpr int kSlice = 500;
    QList<QgsMapLayer *> added;
    added.reserve(layers.size());
    for (int first = 0; first < layers.size(); first += kSlice) {
        added += m_project->addMapLayers(layers.mid(first, kSlice), false);
    }
    // The project owns what it took; whatever it refused goes with m_waiting.
    const QSet<QgsMapLayer *> taken(added.cbegin(), added.cend());
    for (auto &layer : m_waiting) {
        if (taken.contains(layer.get())) {
            (void)layer.release();
        }
    }
    std::vector<std::unique_ptr<QgsRasterLayer>> refused = std::move(m_waiting);
    m_waiting.clear();
    for (const auto &layer : refused) {
        const QString key = layer ? layer->name().toUpper() : QString();
        if (layer && m_byUpperName.value(key) == layer.get()) {
            m_byUpperName.remove(key);
        }
    }
    QList<QgsLayerTreeNode *> nodes;
    nodes.reserve(added.size());
    for (QgsMapLayer *layer : added) {
        auto *node = new QgsLayerTreeLayer(layer);
        // A tile's legend (its three bands) says nothing; one line per tile keeps the group
        // readable.
        node->setExpanded(false);
        nodes.append(node);
    }
    m_group->insertChildNodes(static_cast<int>(m_group->children().size()), nodes);
    if (added.size() != layers.size()) {
        throw Error("QGIS refused " + std::to_string(layers.size() - added.size()) +
                    " tile layer(s) of the group " + m_group->name().toStdString());
    }
}

void SortGrLayerByName(QgsLayerTreeGroup &group, bool ascending) {
    QList<QgsLayerTreeNode *> nodes = group.children();
    if (nodes.size() < 2) {
        return;
    }
    const auto name = [](const QgsLayerTreeNode *node) { return node->name(); };
    std::stable_sort(nodes.begin(), nodes.end(), [&](const auto *a, const auto *b) {
        // QString compares UTF-16 code units: plain text by character code, case-sensitive.
        return ascending ? name(a) < name(b) : name(b) < name(a);
    });
    // Put copies in the sorted order below the children, then drop the children: QGIS has
    // no way to move a node within its group, and a node taken out of the tree loses the
    // children of its own.
    const int count = static_cast<int>(nodes.size());
    QList<QgsLayerTreeNode *> copies;
    copies.reserve(count);
    for (const QgsLayerTreeNode *node : nodes) {
        copies.append(node->clone());
    }
    group.insertChildNodes(count, copies);
    group.removeChildren(0, count);
}

QgsLayerTreeGroup *FindGooGrLayer(QgsProject &project, int level, std::string_view rootName,
                                  std::string_view levelPrefix, UiPort &ui) {
    const std::string levelName = LevelGroupName(levelPrefix, level);
    try {
        QgsLayerTreeGroup &tree = *project.layerTreeRoot();
        const QString rootText = ToQString(rootName);
        QgsLayerTreeGroup *root = FirstGroupNamed(tree, rootText);
        if (root == nullptr) {
            // A new source stands on top of the map, as a layer added in the desktop does.
            root = tree.insertGroup(0, rootText);
            if (root == nullptr) {
                throw Error("QGIS did not create the group " + std::string(rootName));
            }
        }
        root->setExpanded(true);

        const QString levelText = QString::fromStdString(levelName);
        QgsLayerTreeGroup *levelGroup = FirstGroupNamed(*root, levelText);
        if (levelGroup == nullptr) {
            levelGroup = root->addGroup(levelText);
            if (levelGroup == nullptr) {
                throw Error("QGIS did not create the group " + levelName);
            }
            SortGrLayerByName(*root, false);
            // Sorting replaced the children by copies.
            levelGroup = FirstGroupNamed(*root, levelText);
            if (levelGroup == nullptr) {
                throw Error("The group " + levelName + " was lost while sorting");
            }
        }
        // A layer panel showing the tree may have closed the group while its children were
        // replaced; it follows the node's state only when that changes.
        root->setExpanded(false);
        root->setExpanded(true);
        return levelGroup;
    } catch (const std::exception &) {
        // The levelName fits in two digits only for levels 0 to 99, as the message wants.
        ui.ShowMessage("can not create layer " + levelName);
        return nullptr;
    }
}

QgsRasterLayer *ExistRasterLayer(std::string_view fileNameWithExt,
                                 const LevelGroupLayers &levelGroup, UiPort &ui) {
    return RunTrapped(ui, "ExistRasterLayer ",
                      [&] { return levelGroup.Find(ToQString(fileNameWithExt)); })
        .value_or(nullptr);
}

QgsRasterLayer *addRasterLayer(QgsProject &project, const fs::path &fullFileName,
                               std::string_view fileNameWithExt, LevelGroupLayers &levelGroup,
                               const QgsCoordinateReferenceSystem &fallbackCrs, UiPort &ui) {
    return RunTrapped(ui, "addRasterLayer ",
                      [&] {
                          std::unique_ptr<QgsRasterLayer> layer =
                              OpenRaster(project, fullFileName, fileNameWithExt,
                                         TileOpenOptions(fullFileName));
                          if (!layer->crs().isValid() && fallbackCrs.isValid()) {
                              layer->setCrs(fallbackCrs);
                          }
                          return &levelGroup.Add(std::move(layer));
                      })
        .value_or(nullptr);
}

QgsCoordinateReferenceSystem TileCrs(tiles::TilesType type) {
    const std::optional<int> code = mapout::CoordSystemCodeOf(type);
    if (!code || !HasTileLayers(type)) {
        return {};
    }
    // EPSG's own systems go by their EPSG name; the spheres exist only in ESRI's register.
    std::string authority = *code == mapout::kWebMercator ? "EPSG:" : "ESRI:";
    AppendInt(authority, *code);
    return QgsCoordinateReferenceSystem(QString::fromStdString(authority));
}

// The level group a type's tiles go to, made when missing; nullptr when that failed (reported).
// @throws ArgumentError for a type without layers.
QgsLayerTreeGroup *LevelGroupOf(QgsProject &project, int level, tiles::TilesType type,
                                const settings::Settings &settings, UiPort &ui) {
    if (!HasTileLayers(type)) {
        std::string text = "Tiles of type ";
        AppendInt(text, static_cast<int>(type));
        throw ArgumentError(text + " have no layers in the map");
    }
    return FindGooGrLayer(project, level, GetRootName(type, settings), GetLevelPrefix(settings),
                          ui);
}

std::int64_t AddGoogleRasters(QgsProject &project, const fs::path &levelFolder,
                              const tiles::TileList &list, int level, tiles::TilesType type,
                              const settings::Settings &settings, UiPort &ui) {
    const auto added = RunTrapped(ui, "AddGoogleRasters ", [&]() -> std::int64_t {
        QgsLayerTreeGroup *group = LevelGroupOf(project, level, type, settings, ui);
        if (group == nullptr) {
            return -1;
        }
        const QgsCoordinateReferenceSystem fallbackCrs = TileCrs(type);
        LevelGroupLayers levelGroup(project, *group);
        const ScopedFastRasterOpening fastOpening;
        const ScopedSkipUnusedStatistics noStatistics;
        FolderIndex files;

        ProgressPass progress(ui, kAddRastersLabel, list.Size());
        std::int64_t wasAdded = 0;
        std::int64_t i = 0;
        list.ForEach([&](const tiles::TileRecord &record) {
            std::string file = TileLayerName(type, record, level);
            std::string name = file;
            const fs::path folder = tiles::TileFolder(levelFolder, type, record);
            if (tiles::IsXyz(type)) {
                // Its file has the type the server sent; the layer is named "x/y.ext", since
                // the level folder holds a y of every column.
                file = tiles::FindTilePath(levelFolder, type, record, level).filename().string();
                name = folder.filename().string() + "/" + file;
            }
            if (files.Exists(folder, file)) {
                QgsRasterLayer *layer = ExistRasterLayer(name, levelGroup, ui);
                if (layer == nullptr && addRasterLayer(project, folder / file, name, levelGroup,
                                                       fallbackCrs, ui) != nullptr) {
                    ++wasAdded;
                }
            }
            progress.Step(i++);
        });
        levelGroup.Commit();
        return wasAdded;
    });
    return added.value_or(-1);
}

void EnsureProjectCrs(QgsProject &project, const QgsCoordinateReferenceSystem &crs) {
    if (!project.crs().isValid() && crs.isValid()) {
        project.setCrs(crs);
    }
}

std::int64_t AddLevelMosaic(QgsProject &project, const fs::path &levelFolder,
                            const tiles::TileList &list, int level, tiles::TilesType type,
                            const settings::Settings &settings, UiPort &ui) {
    const auto added = RunTrapped(ui, "AddGoogleRasters ", [&]() -> std::int64_t {
        QgsLayerTreeGroup *group = LevelGroupOf(project, level, type, settings, ui);
        if (group == nullptr) {
            return -1;
        }
        const fs::path vrt = levelFolder / kLevelMosaicName;
        if (mosaic::BuildLevelMosaic(levelFolder, type, vrt) == 0) {
            return 0;
        }
        const ScopedFastRasterOpening fastOpening;
        // QGIS would otherwise read every tile of the level for the statistics of a stretch
        // that byte RGB layers do not use.
        const ScopedSkipUnusedStatistics noStatistics;
        if (QgsRasterLayer *layer = FindRasterLayer(project, vrt)) {
            layer->reload();
        } else {
            LevelGroupLayers levelGroup(project, *group);
            levelGroup.Add(OpenRaster(project, vrt, group->name().toStdString()));
            levelGroup.Commit();
        }
        std::int64_t onDisk = 0;
        FolderIndex files;
        list.ForEach([&](const tiles::TileRecord &record) {
            const fs::path tile = tiles::FindTilePath(levelFolder, type, record, level);
            onDisk += files.Exists(tile.parent_path(), tile.filename().string()) ? 1 : 0;
        });
        return onDisk;
    });
    return added.value_or(-1);
}

QgsRasterLayer &AddRasterToRoot(QgsProject &project, const fs::path &path, std::string_view name) {
    const ScopedFastRasterOpening fastOpening;
    if (QgsRasterLayer *existing = FindRasterLayer(project, path)) {
        existing->reload();
        return *existing;
    }
    QgsRasterLayer &layer = AddToProject(project, OpenRaster(project, path, name));
    if (project.layerTreeRoot()->insertLayer(0, &layer) == nullptr) {
        project.removeMapLayer(&layer);
        throw Error("QGIS did not add the layer " + std::string(name) + " to the layer tree");
    }
    return layer;
}

} // namespace tessaro::integration
