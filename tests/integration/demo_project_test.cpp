// `tessaro demo` and `tessaro load --project`: the project files they write, read back by QGIS.
#include "integration/qgis_project_file.h"
#include "integration_support.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <qgslayertree.h>
#include <qgslayertreegroup.h>
#include <qgslayertreelayer.h>
#include <qgsproject.h>
#include <qgsrasterlayer.h>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

struct Group {
    const char *root;
    const char *level;
    const char *folder;
    const char *crs;
};

// What the demo loads: root group, level group, folder and coordinate system per run.
const Group kDemoGroups[] = {
    {"GSatellite", "Level_15", "google-sat", "ESRI:53004"},
    {"GMap", "Level_15", "google-map", "ESRI:53004"},
    {"GLandscape", "Level_15", "google-land", "ESRI:53004"},
    {"SSatellite", "Level_14", "scanex-sat", "ESRI:54004"},
    {"SMap", "Level_14", "scanex-map", "ESRI:54004"},
    {"ShadedRelief", "Level_09", "relief", "ESRI:53004"},
    {"YSatellite", "Level_14", "yandex-sat", "ESRI:54004"},
    {"YMap", "Level_14", "yandex-map", "ESRI:54004"},
    {"xyz", "Level_14", "xyz", "EPSG:3857"}, // a template source's group takes its name
};

fs::path WorldFileOf(const QgsRasterLayer &layer) {
    fs::path image = layer.source().section('|', 0, 0).toStdString();
    image.replace_extension(image.extension() == ".png" ? ".pgw" : ".jgw");
    return image;
}

} // namespace

TEST(DemoProject, QgisOpensEveryTileAndMosaicInItsPlace) {
    test::TempDir dir;
    const auto demo = test::RunProcess({TESSARO_BINARY, "demo", dir.Path().string()}, {},
                                       {{"HOME", (dir / "home").string()}});
    ASSERT_EQ(demo.exitCode, 0) << demo.err;

    auto file = integration::QgisProjectFile::Open(dir / "tessaro-demo.qgs");
    QgsProject &project = file.Project();
    EXPECT_EQ(project.crs().authid().toStdString(), "ESRI:53004"); // the first run's tiles
    std::int64_t tileLayers = 0;
    for (const auto &g : kDemoGroups) {
        QgsLayerTreeGroup *root = test::TopGroup(project, g.root);
        ASSERT_NE(root, nullptr) << g.root;
        QgsLayerTreeGroup *level = root->findGroup(g.level);
        ASSERT_NE(level, nullptr) << g.root << "/" << g.level;
        const auto layers = level->findLayers();
        EXPECT_GT(layers.size(), 0) << g.root;
        QgsRectangle tilesExtent;
        for (QgsLayerTreeLayer *node : layers) {
            auto *raster = qobject_cast<QgsRasterLayer *>(node->layer());
            ASSERT_NE(raster, nullptr);
            SCOPED_TRACE(raster->source().toStdString());
            EXPECT_TRUE(raster->isValid());
            EXPECT_EQ(raster->crs().authid().toStdString(), g.crs);
            const auto world = test::WorldFileExtent(WorldFileOf(*raster));
            test::ExpectExtent(raster->extent(), world, (world.xMax - world.xMin) * 1e-9);
            tilesExtent.combineExtentWith(raster->extent());
            ++tileLayers;
        }
        // The run's mosaic covers exactly its tiles.
        const auto mosaics = project.mapLayersByName("mosaic");
        const fs::path mosaicFile = dir / g.folder / "mosaic.tif";
        QgsRasterLayer *mosaic = nullptr;
        for (QgsMapLayer *layer : mosaics) {
            if (fs::path(layer->source().toStdString()) == mosaicFile) {
                mosaic = qobject_cast<QgsRasterLayer *>(layer);
            }
        }
        ASSERT_NE(mosaic, nullptr) << mosaicFile;
        EXPECT_TRUE(mosaic->isValid());
        EXPECT_EQ(mosaic->crs().authid().toStdString(), g.crs) << mosaicFile;
        test::ExpectExtent(mosaic->extent(),
                           {tilesExtent.xMinimum(), tilesExtent.yMinimum(), tilesExtent.xMaximum(),
                            tilesExtent.yMaximum()},
                           tilesExtent.width() * 1e-9);
    }

    // Google satellite's mosaic is cloud-optimised, and its tiles are in an MBTiles file at
    // zoom 14, the level 15 of the Google grid.
    GDALAllRegister();
    GDALDatasetUniquePtr cog(
        GDALDataset::Open((dir / "google-sat" / "mosaic.tif").c_str(), GDAL_OF_RASTER));
    ASSERT_NE(cog, nullptr);
    EXPECT_STREQ(cog->GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE"), "COG");
    GDALDatasetUniquePtr store(
        GDALDataset::Open((dir / "google-sat" / "tiles.mbtiles").c_str(), GDAL_OF_RASTER));
    ASSERT_NE(store, nullptr);
    EXPECT_STREQ(store->GetMetadataItem("maxzoom"), "14");

    // Every tile is in the block index once.
    GDALDatasetUniquePtr index(GDALDataset::Open((dir / "blocks.gpkg").c_str(), GDAL_OF_VECTOR));
    ASSERT_NE(index, nullptr);
    OGRLayer *blocks = index->GetLayerByName("blocks");
    ASSERT_NE(blocks, nullptr);
    EXPECT_EQ(blocks->GetFeatureCount(), tileLayers);
}

// Two runs into one project, one layer per tile or one per level: the project takes the system
// of its first tiles or the one given, and the second run adds neither tiles nor a second
// mosaic layer; a level's virtual mosaic covers its tiles.
TEST(ProjectOption, RepeatedRunsAddNoSecondLayerAndSetTheProjectCrs) {
    const tiles::TileRequest request = test::SmallRequest(tiles::TilesType::GoogleSat, 12);
    const std::string extent = "--extent=" + std::to_string(request.lat1) + "," +
                               std::to_string(request.lat2) + "," + std::to_string(request.lon1) +
                               "," + std::to_string(request.lon2);
    const std::tuple<std::vector<std::string>, const char *, int> cases[] = {
        {{}, "ESRI:53004", 1},
        {{"--project-layers", "level", "--project-crs", "EPSG:3857"}, "EPSG:3857", 0}};
    for (const auto &[options, crs, perTile] : cases) {
        test::TempDir dir;
        const auto tiles =
            test::WriteTiles(dir / "12", tiles::TilesType::GoogleSat, tiles::TileList(request), 12);
        for (const bool again : {false, true}) {
            std::vector<std::string> argv{TESSARO_BINARY,
                                          "load",
                                          "--level",
                                          "12",
                                          extent,
                                          "--dir",
                                          dir.Path(),
                                          "--offline",
                                          "--project",
                                          dir / "p.qgs",
                                          "--mosaic",
                                          dir / "m.tif",
                                          "--mosaic-to-project",
                                          "--config",
                                          dir / "s.ini"};
            argv.insert(argv.end(), options.begin(), options.end());
            if (again) {
                argv.emplace_back("--combine");
            }
            const auto r = test::RunProcess(argv, {}, {{"HOME", (dir / "home").string()}});
            ASSERT_EQ(r.exitCode, 0) << r.err;
        }
        auto file = integration::QgisProjectFile::Open(dir / "p.qgs");
        QgsProject &project = file.Project();
        EXPECT_EQ(project.crs().authid().toStdString(), crs);
        const auto layers = project.layerTreeRoot()->findLayers();
        // The tiles or the level's mosaic, and the mosaic.
        EXPECT_EQ(layers.size(), perTile * static_cast<int>(tiles.size()) + 1 + (1 - perTile));
        EXPECT_EQ(project.mapLayersByName("m").size(), 1);
        if (perTile == 0) {
            const auto level = project.mapLayersByName("Level_12");
            ASSERT_EQ(level.size(), 1);
            EXPECT_TRUE(level[0]->isValid());
            const QgsRectangle m = project.mapLayersByName("m")[0]->extent();
            test::ExpectExtent(level[0]->extent(),
                               {m.xMinimum(), m.yMinimum(), m.xMaximum(), m.yMaximum()}, 1e-3);
        }
    }
}

TEST(ProjectOption, RelativeFoldersWithAnIndexGiveAProjectThatOpensFromAnywhere) {
    test::TempDir dir;
    const tiles::TileRequest request = test::SmallRequest(tiles::TilesType::GoogleSat, 12);
    const tiles::TileList list(request);
    const auto tiles =
        test::WriteTiles(dir / "tiles" / "12", tiles::TilesType::GoogleSat, list, 12);
    // Relative names, given in the run's own folder; an offline run takes the tiles on disk.
    const std::string extent = "--extent=" + std::to_string(request.lat1) + "," +
                               std::to_string(request.lat2) + "," + std::to_string(request.lon1) +
                               "," + std::to_string(request.lon2);
    const auto r = test::RunProcess(
        {"/bin/sh", "-c",
         "cd \"$0\" && exec \"$1\" load --level 12 \"$2\" --dir tiles --offline --project map.qgs "
         "--index index.gpkg/blocks --yes --config s.ini",
         dir.Path().string(), TESSARO_BINARY, extent},
        {}, {{"HOME", (dir / "home").string()}});
    ASSERT_EQ(r.exitCode, 0) << "project and index together end cleanly\n" << r.err;
    EXPECT_NE(r.out.find("Added: " + std::to_string(tiles.size())), std::string::npos) << r.out;

    // Read from another folder, every layer still finds its tile.
    const fs::path elsewhere = fs::current_path();
    fs::current_path("/");
    auto file = integration::QgisProjectFile::Open(dir / "map.qgs");
    fs::current_path(elsewhere);
    const auto layers = file.Project().layerTreeRoot()->findLayers();
    ASSERT_EQ(static_cast<std::size_t>(layers.size()), tiles.size());
    for (QgsLayerTreeLayer *node : layers) {
        EXPECT_TRUE(node->layer()->isValid()) << node->layer()->source().toStdString();
    }
    GDALDatasetUniquePtr index(GDALDataset::Open((dir / "index.gpkg").c_str(), GDAL_OF_VECTOR));
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->GetLayerByName("blocks")->GetFeatureCount(),
              static_cast<GIntBig>(tiles.size()));
}
