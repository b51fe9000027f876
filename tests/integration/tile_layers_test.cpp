#include "integration/tile_layers.h"

#include "../mapout/mapout_support.h"
#include "common/error.h"
#include "integration/qgis_project_file.h"
#include "integration_support.h"
#include "mapout/spatial_reference.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "tiles/tile_files.h"

#include <qgslayertree.h>
#include <qgsproject.h>
#include <qgsproviderregistry.h>
#include <qgsrasterlayer.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaro::integration {
namespace {

namespace fs = std::filesystem;
using test::RecordingUi;
using tiles::TileList;
using tiles::TilesType;

// Tiles of one type and level on disk, in a level folder of their own.
struct Load {
    Load(const fs::path &base, TilesType t, int l)
        : type(t), level(l),
          folder(base / (std::to_string(static_cast<int>(t)) + "_" + std::to_string(l))),
          list(test::SmallRequest(t, l)) {
        images = test::WriteTiles(folder, type, list, level);
    }
    std::int64_t AddTo(QgsProject &project, RecordingUi &ui) const {
        return AddGoogleRasters(project, folder, list, level, type, test::SettingsFor(type), ui);
    }
    // The layer names expected: the tiles' file names, in list order.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const fs::path &image : images) {
            names.push_back(image.filename().string());
        }
        return names;
    }

    TilesType type;
    int level;
    fs::path folder;
    TileList list;
    std::vector<fs::path> images;
};

// Checks that a level group holds one valid layer per image, in list order, each on its tile's
// file with the source's coordinate system and the extent its world file gives.
void ExpectTileLayers(const QgsLayerTreeGroup &group, const Load &load, const char *crs) {
    ASSERT_EQ(test::ChildNames(group), load.Names());
    for (std::size_t i = 0; i < load.images.size(); ++i) {
        SCOPED_TRACE(load.images[i]);
        const auto *layer = qobject_cast<const QgsRasterLayer *>(
            QgsLayerTree::toLayer(group.children()[int(i)])->layer());
        ASSERT_NE(layer, nullptr);
        ASSERT_TRUE(layer->isValid());
        const QVariantMap source =
            QgsProviderRegistry::instance()->decodeUri("gdal", layer->source());
        EXPECT_EQ(fs::path(source["path"].toString().toStdString()), load.images[i]);
        EXPECT_EQ(layer->crs().authid().toStdString(), crs);
        test::ExpectExtent(layer->extent(),
                           test::WorldFileExtent(tiles::WorldFilePath(load.images[i], load.type)),
                           1e-6);
    }
}

class TileLayersTest : public ::testing::Test {
protected:
    // Saves the project and reads it back as the desktop would, every layer opened.
    QgisProjectFile SavedAndReread(QgisProjectFile &project) {
        project.Save();
        return QgisProjectFile::Open(project.Path(), QgisProjectFile::LayerLoading::Full);
    }

    test::TempDir dir;
    RecordingUi ui;
};

// Levels added to a new project and then to one read back without opening its layers: the
// level groups stand finest first, and the project is saved whole with its drawing order.
TEST_F(TileLayersTest, LevelGroupsStandFinestFirstAndLayersSurviveSaving) {
    const Load level5(dir.Path(), TilesType::GoogleSat, 5);
    const Load level17(dir.Path(), TilesType::GoogleSat, 17);
    const Load level9(dir.Path(), TilesType::GoogleSat, 9);
    ASSERT_GE(level5.list.Size(), 2);
    const auto total = level5.list.Size() + level17.list.Size() + level9.list.Size();
    {
        QgisProjectFile project = QgisProjectFile::Open(dir / "map.qgs");
        EXPECT_EQ(level5.AddTo(project.Project(), ui), level5.list.Size());
        EXPECT_EQ(level17.AddTo(project.Project(), ui), level17.list.Size());
        EXPECT_EQ(ui.labels,
                  (std::vector<std::string>{"add rasters to map", "", "add rasters to map", ""}));
        EXPECT_EQ(ui.lastMaximum, 0);
        project.Save();
    }
    {
        QgisProjectFile project =
            QgisProjectFile::Open(dir / "map.qgs", QgisProjectFile::LayerLoading::Deferred);
        EXPECT_EQ(level5.AddTo(project.Project(), ui), 0);
        ASSERT_EQ(level9.AddTo(project.Project(), ui), level9.list.Size());
        project.Save();
        EXPECT_EQ(project.Project().layerTreeRoot()->customLayerOrder().size(), total)
            << "saving keeps the drawing order of the open project";
    }
    QgisProjectFile reread = QgisProjectFile::Open(dir / "map.qgs");
    QgsProject &project = reread.Project();
    EXPECT_EQ(test::ChildNames(*project.layerTreeRoot()), std::vector<std::string>{"GSatellite/"});
    QgsLayerTreeGroup *root = test::TopGroup(project, "GSatellite");
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->isExpanded());
    ASSERT_EQ(test::ChildNames(*root),
              (std::vector<std::string>{"Level_17/", "Level_09/", "Level_05/"}));
    const auto levels = root->children();
    ExpectTileLayers(*QgsLayerTree::toGroup(levels[0]), level17, "ESRI:53004");
    ExpectTileLayers(*QgsLayerTree::toGroup(levels[1]), level9, "ESRI:53004");
    ExpectTileLayers(*QgsLayerTree::toGroup(levels[2]), level5, "ESRI:53004");
    EXPECT_EQ(project.count(), total);
    EXPECT_EQ(project.layerTreeRoot()->layerOrder().size(), total);
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(TileLayersTest, TilesAlreadyInTheirGroupAreNotAddedAgain) {
    const Load load(dir.Path(), TilesType::GoogleMap, 12);
    QgisProjectFile project = QgisProjectFile::Open(dir / "map.qgz");
    ASSERT_EQ(load.AddTo(project.Project(), ui), load.list.Size());
    EXPECT_EQ(load.AddTo(project.Project(), ui), 0) << "second run in the same project";

    // A layer renamed to other letter case still stands for its tile.
    QgsLayerTreeGroup *group = test::TopGroup(project.Project(), "GMap")->findGroup("Level_12");
    ASSERT_NE(group, nullptr);
    QgsMapLayer *first = QgsLayerTree::toLayer(group->children()[0])->layer();
    first->setName(first->name().toUpper());
    // A tile whose layer was removed gets it back, at the bottom of its group.
    QgsMapLayer *second = QgsLayerTree::toLayer(group->children()[1])->layer();
    const std::string secondName = second->name().toStdString();
    project.Project().removeMapLayer(second);
    EXPECT_EQ(load.AddTo(project.Project(), ui), 1);
    EXPECT_EQ(test::ChildNames(*group).back(), secondName);

    // The same holds for a project read back from its file, whether its layers are opened or
    // only carried along.
    for (const auto loading :
         {QgisProjectFile::LayerLoading::Full, QgisProjectFile::LayerLoading::Deferred}) {
        project.Save();
        QgisProjectFile reread = QgisProjectFile::Open(project.Path(), loading);
        EXPECT_EQ(load.AddTo(reread.Project(), ui), 0);
        EXPECT_EQ(reread.Project().count(), load.list.Size());
    }
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(TileLayersTest, OnlyATopLevelGroupOfTheExactNameIsTheRoot) {
    const Load load(dir.Path(), TilesType::YandSat, 10);
    QgisProjectFile project = QgisProjectFile::Open(dir / "map.qgs");
    QgsLayerTreeGroup &tree = *project.Project().layerTreeRoot();
    tree.addGroup("ysatellite")->addGroup("Level_10");
    tree.addGroup("Other")->addGroup("YSatellite")->addGroup("Level_10");

    ASSERT_EQ(load.AddTo(project.Project(), ui), load.list.Size());
    EXPECT_EQ(test::ChildNames(tree),
              (std::vector<std::string>{"YSatellite/", "ysatellite/", "Other/"}));
    EXPECT_EQ(tree.findGroup("ysatellite")->findLayers().size(), 0);
    EXPECT_EQ(tree.findGroup("Other")->findLayers().size(), 0);
    QgisProjectFile reread = SavedAndReread(project);
    QgsLayerTreeGroup *root = test::TopGroup(reread.Project(), "YSatellite");
    ASSERT_NE(root, nullptr);
    ExpectTileLayers(*root->findGroup("Level_10"), load, "ESRI:54004");
}

TEST_F(TileLayersTest, ReliefTilesComeFromRowFoldersUnderTheProfilesPrefix) {
    const Load load(dir.Path(), TilesType::Shade, 7);
    ASSERT_NE(load.images.front().parent_path(), load.folder);
    settings::Settings settings = test::SettingsFor(load.type);
    settings.Text(settings::Settings::LevelLayerPrefix(2)) = "Relief_";
    QgisProjectFile project = QgisProjectFile::Open(dir / "map.qgs");
    ASSERT_EQ(AddGoogleRasters(project.Project(), load.folder, load.list, load.level, load.type,
                               settings, ui),
              load.list.Size());
    QgisProjectFile reread = SavedAndReread(project);
    QgsLayerTreeGroup *root = test::TopGroup(reread.Project(), "ShadedRelief");
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(test::ChildNames(*root), std::vector<std::string>{"Relief_07/"});
    ExpectTileLayers(*root->findGroup("Relief_07"), load, "ESRI:53004");
}

TEST_F(TileLayersTest, MissingTilesArePassedOverAndTilesWithoutSideFileGetTheSourceCrs) {
    const Load load(dir.Path(), TilesType::ScanMap, 9);
    ASSERT_GE(load.images.size(), 3u);
    fs::remove(load.images[0]);
    fs::remove(load.images[2]);
    fs::remove(mapout::SideFilePath(load.images[1]));
    QgisProjectFile project = QgisProjectFile::Open(dir / "map.qgs");
    ASSERT_EQ(load.AddTo(project.Project(), ui), load.list.Size() - 2);

    QgisProjectFile reread = SavedAndReread(project);
    QgsLayerTreeGroup *group = test::TopGroup(reread.Project(), "SMap")->findGroup("Level_09");
    std::vector<std::string> names = load.Names();
    names.erase(names.begin() + 2);
    names.erase(names.begin());
    ASSERT_EQ(test::ChildNames(*group), names);
    for (QgsLayerTreeLayer *node : group->findLayers()) {
        EXPECT_EQ(node->layer()->crs().authid(), "ESRI:54004") << node->name().toStdString();
    }
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(TileLayersTest, FailuresAreReportedUnderTheirProcedure) {
    const Load load(dir.Path(), TilesType::GoogleSat, 11);
    test::WriteText(load.images[1], "<html>Too many requests</html>");
    QgisProjectFile project = QgisProjectFile::Open(dir / "map.qgs");
    EXPECT_EQ(load.AddTo(project.Project(), ui), load.list.Size() - 1)
        << "the tiles after an unreadable one are added";
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].title, "Unexpected Program Error");
    EXPECT_NE(ui.messages[0].text.find("\taddRasterLayer  \r\n"), std::string::npos)
        << ui.messages[0].text;
    EXPECT_NE(ui.messages[0].text.find(load.images[1].string()), std::string::npos);
    EXPECT_EQ(project.Project().mapLayersByName(QString::fromStdString(load.Names()[1])).size(), 0);

    // A tile type without layers stops the run before the map changes.
    ui.messages.clear();
    EXPECT_EQ(AddGoogleRasters(project.Project(), load.folder, load.list, load.level,
                               TilesType::Invalid, test::SettingsFor(load.type), ui),
              -1);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].text.find("\tAddGoogleRasters  \r\n"), std::string::npos);
    EXPECT_EQ(test::ChildNames(*project.Project().layerTreeRoot()),
              std::vector<std::string>{"GSatellite/"});
}

TEST_F(TileLayersTest, SortingGroupsByNameKeepsTheirLayers) {
    const Load load(dir.Path(), TilesType::GoogleSat, 6);
    QgisProjectFile project = QgisProjectFile::Open(dir / "map.qgs");
    ASSERT_EQ(load.AddTo(project.Project(), ui), load.list.Size());
    QgsLayerTreeGroup *root = test::TopGroup(project.Project(), "GSatellite");
    for (const char *name : {"b", "Level_10", "B", "a"}) {
        root->addGroup(name);
    }
    SortGrLayerByName(*root, true);
    EXPECT_EQ(test::ChildNames(*root),
              (std::vector<std::string>{"B/", "Level_06/", "Level_10/", "a/", "b/"}));
    SortGrLayerByName(*root, false);
    EXPECT_EQ(test::ChildNames(*root),
              (std::vector<std::string>{"b/", "a/", "Level_10/", "Level_06/", "B/"}));
    EXPECT_EQ(project.Project().count(), load.list.Size());
    EXPECT_EQ(root->findGroup("Level_06")->findLayers().size(), load.list.Size());
}

TEST_F(TileLayersTest, AMosaicGoesToTheTopOfTheMap) {
    const Load load(dir.Path(), TilesType::GoogleSat, 8);
    QgisProjectFile project = QgisProjectFile::Open(dir / "map.qgs");
    ASSERT_EQ(load.AddTo(project.Project(), ui), load.list.Size());
    QgsRasterLayer &mosaic = AddRasterToRoot(project.Project(), load.images[0], "mosaic 8");
    EXPECT_TRUE(mosaic.isValid());
    EXPECT_EQ(test::ChildNames(*project.Project().layerTreeRoot()),
              (std::vector<std::string>{"mosaic 8", "GSatellite/"}));
    EXPECT_THROW(AddRasterToRoot(project.Project(), dir / "none.tif", "none"), FileError);
    EXPECT_EQ(project.Project().count(), load.list.Size() + 1);
}

} // namespace
} // namespace tessaro::integration
