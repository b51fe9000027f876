#include "mapout/spatial_reference.h"

#include "common/error_report.h"
#include "mapout/gdal_support.h"
#include "mapout_support.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "support/tmpfs.h"
#include "tiles/tile_files.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <gtest/gtest.h>

#include <memory>

using namespace tessaro;
using mapout::SetRasterSpatRef;
using mapout::TileSequence;
using tiles::TilesType;
namespace fs = std::filesystem;

namespace {

// Opens a tile with GDAL and checks that its coordinate system puts its corners (from its
// world file) on the tile's geographic extent, worked out without GDAL or PROJ.
void ExpectGeoreferenced(const fs::path &image, TilesType type, const tiles::TileRecord &record,
                         int level) {
    SCOPED_TRACE(image.string());
    GDALDatasetUniquePtr dataset(GDALDataset::Open(image.c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(dataset && dataset->GetSpatialRef());
    double gt[6];
    ASSERT_EQ(dataset->GetGeoTransform(gt), CE_None);
    OGRSpatialReference wgs84;
    ASSERT_EQ(wgs84.importFromEPSG(4326), OGRERR_NONE);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> toWgs84(
        OGRCreateCoordinateTransformation(dataset->GetSpatialRef(), &wgs84));
    double x[2] = {gt[0], gt[0] + 256 * gt[1]};
    double y[2] = {gt[3], gt[3] + 256 * gt[5]};
    ASSERT_TRUE(toWgs84 && toWgs84->Transform(2, x, y));
    const auto bounds = test::TileGeoBounds(type, record, level);
    EXPECT_NEAR(x[0], bounds.west, 1e-7);
    EXPECT_NEAR(y[0], bounds.north, 1e-7);
    EXPECT_NEAR(x[1], bounds.east, 1e-7);
    EXPECT_NEAR(y[1], bounds.south, 1e-7);
}

OGRSpatialReference System(const char *name) {
    OGRSpatialReference srs;
    EXPECT_EQ(srs.SetFromUserInput(name), OGRERR_NONE);
    return srs;
}

// A side file holding a coordinate system as GDAL writes it, and statistics.
std::string SideFileWith(const char *system) {
    char *wkt = nullptr;
    EXPECT_EQ(System(system).exportToWkt(&wkt), OGRERR_NONE);
    std::string text = "<PAMDataset>\n  <SRS dataAxisToSRSAxisMapping=\"1,2\">";
    text += wkt;
    CPLFree(wkt);
    return text + "</SRS>\n<Metadata><MDI key=\"STATISTICS_MEAN\">42.5</MDI></Metadata>" +
           "</PAMDataset>\n";
}

std::vector<fs::path> WriteTiles(const fs::path &folder, TilesType type, int level,
                                 const std::vector<tiles::TileRecord> &list) {
    std::vector<fs::path> images;
    for (const auto &record : list) {
        images.push_back(test::WriteTile(folder, type, record, level));
    }
    return images;
}

} // namespace

// The systems themselves are checked through the tiles below, which cover every type.
TEST(CoordSystems, FactoryCodesAndTileTypesGiveTheirSystems) {
    EXPECT_STREQ(mapout::SetProjectedCoordSystem(mapout::kSphereMercator).GetAuthorityName(nullptr),
                 "ESRI");
    EXPECT_THROW((void)mapout::SetProjectedCoordSystem(4326), mapout::GdalError);
    EXPECT_THROW((void)mapout::SetGeographicCoordSystem(53004), mapout::GdalError);
    // Every code of the fifties is Yandex-like; other codes have no system.
    const std::pair<int, std::optional<int>> types[] = {
        {50, 54004}, {59, 54004}, {5, std::nullopt}, {60, std::nullopt}, {-1, std::nullopt}};
    for (const auto &[type, code] : types) {
        EXPECT_EQ(mapout::CoordSystemCodeOf(static_cast<TilesType>(type)), code) << type;
    }
}

TEST(SetRasterSpatRef, EveryTypeGetsItsCoordinateSystem) {
    const std::pair<TilesType, int> cases[] = {
        {TilesType::GoogleSat, 12}, {TilesType::GoogleMap, 13}, {TilesType::GoogleLand, 12},
        {TilesType::Shade, 9},      {TilesType::ScanSat, 12},   {TilesType::ScanMap, 11},
        {TilesType::YandSat, 12},   {TilesType::YandMap, 13}};
    for (const auto &[type, level] : cases) {
        SCOPED_TRACE(static_cast<int>(type));
        test::TempDir dir;
        const auto list = test::MoscowTiles(type, level);
        ASSERT_GE(list.size(), 2u);
        const auto images = WriteTiles(dir.Path(), type, level, list);
        test::RecordingUi ui;
        // Half the types stream their list, as a load over millions of tiles does.
        tiles::TileStream stream({type, level, 55.70, 55.80, 37.50, 37.70});
        auto sequence =
            level % 2 == 0 ? TileSequence::FromList(list) : TileSequence::FromStream(stream);
        const auto summary = SetRasterSpatRef(dir.Path(), std::move(sequence), type, level, ui);
        EXPECT_TRUE(summary.completed);
        EXPECT_EQ(summary.assigned, static_cast<std::int64_t>(list.size()));
        EXPECT_TRUE(ui.messages.empty());
        EXPECT_EQ(ui.labels, (std::vector<std::string>{"Set Spatial Reference", ""}));
        EXPECT_EQ(ui.lastMaximum, 0);
        for (std::size_t i = 0; i < list.size(); ++i) {
            EXPECT_TRUE(fs::exists(images[i].string() + ".aux.xml"));
            ExpectGeoreferenced(images[i], type, list[i], level);
        }
    }
}

// A side file that already holds the system (in GDAL's WKT or as a PROJ string) is left as it
// is; one without it, with another system or cut short gets the system and keeps its
// statistics. Missing tiles and files that are not images are passed over without a message.
TEST(SetRasterSpatRef, SideFilesAreKeptOrCompletedByWhatTheyHold) {
    test::TempDir dir;
    const auto type = TilesType::GoogleSat;
    const int level = 11;
    // One tile under eight names.
    std::vector<tiles::TileRecord> list(8, test::MoscowTiles(type, level).at(0));
    for (std::size_t i = 0; i < list.size(); ++i) {
        list[i].name.Assign("t" + std::to_string(i));
    }
    const auto images = WriteTiles(dir.Path(), type, level, list);
    const std::string kept[] = {SideFileWith("ESRI:53004"),
                                "<PAMDataset><SRS>+proj=merc +lat_ts=0 +lon_0=0 +x_0=0 +y_0=0 "
                                "+R=6371000 +units=m +no_defs</SRS></PAMDataset>"};
    const std::string completed[] = {SideFileWith("EPSG:4326"), "<PAMDataset><SRS>",
                                     "<PAMDataset><Metadata><MDI key=\"STATISTICS_MEAN\">42.5</MDI>"
                                     "</Metadata></PAMDataset>"};
    test::WriteText(images[1].string() + ".aux.xml", kept[0]);
    test::WriteText(images[2].string() + ".aux.xml", kept[1]);
    for (std::size_t i = 0; i < 3; ++i) {
        test::WriteText(images[3 + i].string() + ".aux.xml", completed[i]);
    }
    fs::remove(images[6]);
    test::WriteText(images[7], "<html><body>404 Not Found</body></html>");

    test::RecordingUi ui;
    const auto summary =
        SetRasterSpatRef(dir.Path(), TileSequence::FromList(list), type, level, ui);
    EXPECT_TRUE(summary.completed);
    EXPECT_EQ(summary.alreadySet, 2);
    EXPECT_EQ(summary.assigned, 4);
    EXPECT_EQ(summary.missing, 1);
    EXPECT_EQ(summary.notRaster, 1);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(test::ReadText(images[1].string() + ".aux.xml"), kept[0]);
    EXPECT_EQ(test::ReadText(images[2].string() + ".aux.xml"), kept[1]);
    for (const std::size_t i : {0, 3, 4, 5}) {
        ExpectGeoreferenced(images[i], type, list[i], level);
    }
    GDALDatasetUniquePtr stats(GDALDataset::Open(images[3].c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(stats);
    EXPECT_STREQ(stats->GetMetadataItem("STATISTICS_MEAN"), "42.5");
    EXPECT_FALSE(fs::exists(images[7].string() + ".aux.xml"));
    EXPECT_FALSE(fs::exists(images[6]));
}

// Tiles whose side file GDAL cannot write (a folder in its place) are left unchanged, the run
// goes on, and one message counts them and names the first with GDAL's reason.
TEST(SetRasterSpatRef, SideFilesThatCannotBeWrittenAreReportedAndTheRunGoesOn) {
    test::TempDir dir;
    const auto type = TilesType::ScanSat;
    const int level = 12;
    const auto list = test::MoscowTiles(type, level);
    ASSERT_GE(list.size(), 3u);
    const auto images = WriteTiles(dir.Path(), type, level, list);
    const std::string side = images[0].string() + ".aux.xml";
    fs::create_directory(side);
    fs::create_directory(images.back().string() + ".aux.xml");

    test::RecordingUi ui;
    const auto summary =
        SetRasterSpatRef(dir.Path(), TileSequence::FromList(list), type, level, ui);
    EXPECT_TRUE(summary.completed);
    EXPECT_EQ(summary.failed, 2);
    EXPECT_EQ(summary.assigned, static_cast<std::int64_t>(list.size()) - 2);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Could not record the coordinate system of 2 tiles.\r\n" +
                                       images[0].string() +
                                       ": Unable to save auxiliary information in " + side + ".");
    EXPECT_EQ(ui.messages[0].icon, Icon::Exclamation);
    GDALDatasetUniquePtr first(GDALDataset::Open(images[0].c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->GetSpatialRef(), nullptr);
    ExpectGeoreferenced(images[1], type, list[1], level);

    // A folder that is read-only: every tile fails, none gets a side file.
    test::ScopedTmpfs disk(dir / "ro", "4m");
    if (!disk.Mounted()) {
        GTEST_SKIP() << "no tmpfs to make read-only: " << disk.Error();
    }
    WriteTiles(dir / "ro", type, level, list);
    ASSERT_TRUE(disk.MakeReadOnly());
    test::RecordingUi ro;
    EXPECT_EQ(SetRasterSpatRef(dir / "ro", TileSequence::FromList(list), type, level, ro).failed,
              static_cast<std::int64_t>(list.size()));
    ASSERT_EQ(ro.messages.size(), 1u);
    EXPECT_EQ(ro.messages[0].text.rfind("Could not record the coordinate system of " +
                                            std::to_string(list.size()) + " tiles.\r\n",
                                        0),
              0u);
    for (const auto &entry : fs::directory_iterator(dir / "ro")) {
        EXPECT_NE(entry.path().extension(), ".xml") << entry.path();
    }
}

TEST(SetRasterSpatRef, RunsThatEndBeforeTheFirstTile) {
    test::TempDir dir;
    const auto list = test::MoscowTiles(TilesType::GoogleSat, 12);
    WriteTiles(dir.Path(), TilesType::GoogleSat, 12, list);
    test::RecordingUi ui;
    EXPECT_EQ(mapout::OpenRasterWorkspace(dir.Path(), ui), dir.Path());
    // A level folder that is missing, or a file: the workspace report, then the message.
    const fs::path missing = dir / "missing";
    const fs::path file = tiles::TilePath(dir.Path(), TilesType::GoogleSat, list[0], 12);
    for (const fs::path &folder : {missing, file}) {
        EXPECT_FALSE(
            SetRasterSpatRef(folder, TileSequence::FromList(list), TilesType::GoogleSat, 12, ui)
                .completed);
        EXPECT_EQ(ui.messages.back().text,
                  "Can not open raster workspase!\r\nFolder: " + folder.string() + "/");
        EXPECT_EQ(ui.messages.back().title, "");
    }
    ASSERT_EQ(ui.messages.size(), 4u);
    EXPECT_EQ(ui.messages[0].text,
              ComposeMessageReport("OpenRasterWorkSpace  ", 76,
                                   "The folder " + missing.string() + "/ does not exist"));
    EXPECT_NE(ui.messages[2].text.find("The path " + file.string() + " is not a folder"),
              std::string::npos);
    EXPECT_TRUE(ui.labels.empty());

    // Relief tiles lie in row folders, so a missing level folder only means missing tiles;
    // a type outside the table does nothing at all.
    test::RecordingUi quiet;
    const auto shade = test::MoscowTiles(TilesType::Shade, 9);
    EXPECT_EQ(SetRasterSpatRef(missing, TileSequence::FromList(shade), TilesType::Shade, 9, quiet)
                  .missing,
              static_cast<std::int64_t>(shade.size()));
    for (const auto type : {static_cast<TilesType>(5), TilesType::Invalid}) {
        EXPECT_FALSE(
            SetRasterSpatRef(dir.Path(), TileSequence::FromList(list), type, 12, quiet).completed);
    }
    EXPECT_TRUE(quiet.messages.empty());
    for (const auto &entry : fs::directory_iterator(dir.Path())) {
        EXPECT_NE(entry.path().extension(), ".xml") << entry.path();
    }
}
