#include "mapout/spatial_reference.h"

#include "common/error_report.h"
#include "mapout/gdal_support.h"
#include "mapout_support.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "tiles/tile_files.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <unistd.h>

#include <memory>

using namespace tessaro;
using mapout::SetRasterSpatRef;
using mapout::TileSequence;
using tiles::TilesType;
namespace fs = std::filesystem;

namespace {

// The coordinate system a tile type must end up with, spelled as users of GDAL spell it, not
// through the code under test.
OGRSpatialReference ExpectedSystem(TilesType type) {
    OGRSpatialReference srs;
    const bool world = tiles::IsEllipsoidal(type);
    EXPECT_EQ(srs.SetFromUserInput(world ? "ESRI:54004" : "ESRI:53004"), OGRERR_NONE);
    return srs;
}

// Opens a tile with GDAL and checks that it carries the coordinate system of its type, the
// geotransform of its world file, and that its corners land on the tile's geographic extent.
void ExpectGeoreferenced(const fs::path &image, TilesType type, const tiles::TileRecord &record,
                         int level) {
    SCOPED_TRACE(image.string());
    GDALDatasetUniquePtr dataset(GDALDataset::Open(image.c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(dataset);
    const OGRSpatialReference *srs = dataset->GetSpatialRef();
    ASSERT_NE(srs, nullptr);
    const OGRSpatialReference expected = ExpectedSystem(type);
    EXPECT_TRUE(srs->IsSame(&expected));

    double gt[6];
    ASSERT_EQ(dataset->GetGeoTransform(gt), CE_None);
    const double north =
        tiles::IsEllipsoidal(type) ? record.y + 256 * record.resX : record.y - record.resY / 2;
    const double west = tiles::IsEllipsoidal(type) ? record.x : record.x - record.resX / 2;
    EXPECT_NEAR(gt[0], west, 1e-6);
    EXPECT_NEAR(gt[1], record.resX, 1e-9); // world files carry 15 digits
    EXPECT_EQ(gt[2], 0.0);
    EXPECT_NEAR(gt[3], north, 1e-6);
    EXPECT_EQ(gt[4], 0.0);
    EXPECT_NEAR(gt[5], record.resY, 1e-9);

    OGRSpatialReference wgs84;
    ASSERT_EQ(wgs84.importFromEPSG(4326), OGRERR_NONE);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> toWgs84(
        OGRCreateCoordinateTransformation(srs, &wgs84));
    ASSERT_TRUE(toWgs84);
    double x[2] = {gt[0], gt[0] + 256 * gt[1]};
    double y[2] = {gt[3], gt[3] + 256 * gt[5]};
    ASSERT_TRUE(toWgs84->Transform(2, x, y));
    const auto bounds = test::TileGeoBounds(type, record, level);
    EXPECT_NEAR(x[0], bounds.west, 1e-7);
    EXPECT_NEAR(y[0], bounds.north, 1e-7);
    EXPECT_NEAR(x[1], bounds.east, 1e-7);
    EXPECT_NEAR(y[1], bounds.south, 1e-7);
}

// A side file holding a coordinate system (as GDAL writes it) and more.
std::string SideFileWith(const char *system, const std::string &extra) {
    OGRSpatialReference srs;
    EXPECT_EQ(srs.SetFromUserInput(system), OGRERR_NONE);
    char *wkt = nullptr;
    EXPECT_EQ(srs.exportToWkt(&wkt), OGRERR_NONE);
    std::string text = "<PAMDataset>\n  <SRS dataAxisToSRSAxisMapping=\"1,2\">";
    text += wkt;
    CPLFree(wkt);
    text += "</SRS>\n" + extra + "</PAMDataset>\n";
    return text;
}

constexpr const char *kStatistics =
    "  <PAMRasterBand band=\"1\">\n    <Metadata>\n"
    "      <MDI key=\"STATISTICS_MEAN\">42.5</MDI>\n    </Metadata>\n  </PAMRasterBand>\n";

} // namespace

// The systems themselves are checked through every georeferenced tile below.
TEST(CoordSystems, FactoryCodesGiveTheirSystems) {
    const auto sphere = mapout::SetProjectedCoordSystem(mapout::kSphereMercator);
    EXPECT_STREQ(sphere.GetAuthorityName(nullptr), "ESRI");
    EXPECT_STREQ(sphere.GetAuthorityCode(nullptr), "53004");
    EXPECT_STREQ(mapout::SetProjectedCoordSystem(mapout::kWorldMercator).GetAuthorityCode(nullptr),
                 "54004");
    EXPECT_TRUE(mapout::SetGeographicCoordSystem(mapout::kWgs84).IsGeographic());

    // The coordinate system of each tile type; every code of the fifties is Yandex-like.
    EXPECT_EQ(mapout::CoordSystemCodeOf(TilesType::Shade), 53004);
    EXPECT_EQ(mapout::CoordSystemCodeOf(TilesType::ScanMap), 54004);
    EXPECT_EQ(mapout::CoordSystemCodeOf(static_cast<TilesType>(59)), 54004);
    EXPECT_EQ(mapout::CoordSystemCodeOf(static_cast<TilesType>(5)), std::nullopt);
    EXPECT_EQ(mapout::CoordSystemCodeOf(TilesType::Invalid), std::nullopt);

    EXPECT_THROW((void)mapout::SetProjectedCoordSystem(4326), mapout::GdalError);
    EXPECT_THROW((void)mapout::SetGeographicCoordSystem(53004), mapout::GdalError);
    EXPECT_THROW((void)mapout::SetProjectedCoordSystem(999999), mapout::GdalError);
}

TEST(SetRasterSpatRef, EveryTypeGetsItsCoordinateSystemAndGeotransform) {
    const std::pair<TilesType, int> cases[] = {
        {TilesType::GoogleSat, 12}, {TilesType::GoogleMap, 13}, {TilesType::GoogleLand, 12},
        {TilesType::Shade, 9},      {TilesType::ScanSat, 12},   {TilesType::ScanMap, 11},
        {TilesType::YandSat, 12},   {TilesType::YandMap, 13}};
    for (const auto &[type, level] : cases) {
        SCOPED_TRACE(static_cast<int>(type));
        test::TempDir dir;
        const auto list = test::MoscowTiles(type, level);
        ASSERT_GE(list.size(), 2u);
        for (const auto &record : list) {
            test::WriteTile(dir.Path(), type, record, level);
        }
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
        for (const auto &record : list) {
            const auto image = tiles::TilePath(dir.Path(), type, record, level);
            EXPECT_TRUE(fs::exists(mapout::SideFilePath(image)));
            ExpectGeoreferenced(image, type, record, level);
        }
        if (type == TilesType::Shade) {
            // Relief tiles and their side files lie in row folders only.
            for (const auto &entry : fs::directory_iterator(dir.Path())) {
                EXPECT_TRUE(entry.is_directory()) << entry.path();
                EXPECT_EQ(entry.path().filename().string().rfind("row", 0), 0u);
            }
        }
    }
}

TEST(SetRasterSpatRef, SideFilesAreMergedOrLeftAloneByWhatTheyHold) {
    test::TempDir dir;
    const auto type = TilesType::GoogleSat;
    const int level = 12;
    const auto list = test::MoscowTiles(type, level);
    ASSERT_GE(list.size(), 3u);
    std::vector<fs::path> images;
    for (const auto &record : list) {
        images.push_back(test::WriteTile(dir.Path(), type, record, level));
    }
    // 0: statistics only, as QGIS leaves them; 1: already the right system plus a marker;
    // 2: a wrong system.
    test::WriteText(mapout::SideFilePath(images[0]),
                    "<PAMDataset>\n" + std::string(kStatistics) + "</PAMDataset>\n");
    const std::string holding = SideFileWith("ESRI:53004", kStatistics);
    test::WriteText(mapout::SideFilePath(images[1]), holding);
    test::WriteText(mapout::SideFilePath(images[2]), SideFileWith("EPSG:4326", ""));

    test::RecordingUi ui;
    const auto summary =
        SetRasterSpatRef(dir.Path(), TileSequence::FromList(list), type, level, ui);
    EXPECT_EQ(summary.alreadySet, 1);
    EXPECT_EQ(summary.assigned, static_cast<std::int64_t>(list.size()) - 1);
    EXPECT_TRUE(ui.messages.empty());

    EXPECT_EQ(test::ReadText(mapout::SideFilePath(images[1])), holding);
    const auto sphere = ExpectedSystem(type);
    for (const auto &image : images) {
        EXPECT_TRUE(mapout::SideFileHolds(mapout::SideFilePath(image), sphere)) << image;
    }
    ExpectGeoreferenced(images[0], type, list[0], level);
    ExpectGeoreferenced(images[2], type, list[2], level);
    // The statistics QGIS wrote are still there.
    GDALDatasetUniquePtr stats(GDALDataset::Open(images[0].c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(stats);
    const char *mean = stats->GetRasterBand(1)->GetMetadataItem("STATISTICS_MEAN");
    ASSERT_NE(mean, nullptr);
    EXPECT_STREQ(mean, "42.5");
}

TEST(SetRasterSpatRef, SideFileCheckReadsTheSystemNotTheFile) {
    test::TempDir dir;
    const auto sphere = ExpectedSystem(TilesType::GoogleSat);
    const auto world = ExpectedSystem(TilesType::ScanSat);
    const fs::path side = dir / "t.jpg.aux.xml";
    EXPECT_FALSE(mapout::SideFileHolds(side, sphere)); // none
    test::WriteText(side, "<PAMDataset>" + std::string(kStatistics) + "</PAMDataset>");
    EXPECT_FALSE(mapout::SideFileHolds(side, sphere)); // statistics only
    test::WriteText(side, "<PAMDataset><SRS>");        // cut short
    EXPECT_FALSE(mapout::SideFileHolds(side, sphere));
    test::WriteText(side, SideFileWith("ESRI:53004", ""));
    EXPECT_TRUE(mapout::SideFileHolds(side, sphere));
    EXPECT_FALSE(mapout::SideFileHolds(side, world));
    // Another spelling of the same system (PROJ text instead of WKT) still counts.
    test::WriteText(side, "<PAMDataset><SRS>+proj=merc +lat_ts=0 +lon_0=0 +x_0=0 +y_0=0 "
                          "+R=6371000 +units=m +no_defs</SRS></PAMDataset>");
    EXPECT_TRUE(mapout::SideFileHolds(side, sphere));
    EXPECT_EQ(mapout::SideFilePath("/a/b.png"), fs::path("/a/b.png.aux.xml"));
}

TEST(SetRasterSpatRef, MissingTilesAndFilesThatAreNotImagesArePassedOver) {
    test::TempDir dir;
    const auto type = TilesType::YandMap;
    const int level = 12;
    const auto list = test::MoscowTiles(type, level);
    ASSERT_GE(list.size(), 3u);
    const auto good = test::WriteTile(dir.Path(), type, list[0], level);
    // list[1] is not on disk; list[2] is an error page saved under the tile's name.
    const auto page = tiles::TilePath(dir.Path(), type, list[2], level);
    test::WriteText(page, "<html><body>404 Not Found</body></html>");

    test::RecordingUi ui;
    const auto summary =
        SetRasterSpatRef(dir.Path(), TileSequence::FromList(list), type, level, ui);
    EXPECT_TRUE(summary.completed);
    EXPECT_EQ(summary.assigned, 1);
    EXPECT_EQ(summary.notRaster, 1);
    EXPECT_EQ(summary.missing, static_cast<std::int64_t>(list.size()) - 2);
    EXPECT_EQ(summary.failed, 0);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(ui.labels, (std::vector<std::string>{"Set Spatial Reference", ""}));
    ExpectGeoreferenced(good, type, list[0], level);
    EXPECT_FALSE(fs::exists(mapout::SideFilePath(page)));
    EXPECT_FALSE(fs::exists(tiles::TilePath(dir.Path(), type, list[1], level)));
}

TEST(SetRasterSpatRef, SideFileThatCannotBeWrittenIsReportedAndTheRunGoesOn) {
    test::TempDir dir;
    const auto type = TilesType::ScanSat;
    const int level = 12;
    const auto list = test::MoscowTiles(type, level);
    ASSERT_GE(list.size(), 2u);
    std::vector<fs::path> images;
    for (const auto &record : list) {
        images.push_back(test::WriteTile(dir.Path(), type, record, level));
    }
    // A folder where GDAL wants to write the first tile's side file: it cannot write it, which
    // is what a read-only folder gives too (and works when the tests run as root).
    fs::create_directory(mapout::SideFilePath(images[0]));

    test::RecordingUi ui;
    const auto summary =
        SetRasterSpatRef(dir.Path(), TileSequence::FromList(list), type, level, ui);
    EXPECT_TRUE(summary.completed);
    EXPECT_EQ(summary.failed, 1);
    EXPECT_EQ(summary.assigned, static_cast<std::int64_t>(list.size()) - 1);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Could not record the coordinate system of 1 tile.\r\n" +
                                       images[0].string() +
                                       ": Unable to save auxiliary information in " +
                                       mapout::SideFilePath(images[0]).string() + ".");
    EXPECT_EQ(ui.messages[0].icon, Icon::Exclamation);
    // The tile is unchanged (no coordinate system), the others have theirs.
    GDALDatasetUniquePtr first(GDALDataset::Open(images[0].c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->GetSpatialRef(), nullptr);
    for (std::size_t i = 1; i < list.size(); ++i) {
        ExpectGeoreferenced(images[i], type, list[i], level);
    }
}

TEST(SetRasterSpatRef, ReadOnlyFolderLeavesTilesUnchanged) {
    // Root writes into folders without write permission, so as root the folder is a small
    // file system made read-only after the tiles are in.
    test::TempDir dir;
    const fs::path folder = dir / "tiles";
    fs::create_directory(folder);
    const bool root = ::geteuid() == 0;
    if (root && ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=4m") != 0) {
        GTEST_SKIP() << "running as root without a tmpfs to make read-only";
    }
    const auto type = TilesType::GoogleMap;
    const int level = 13;
    const auto list = test::MoscowTiles(type, level);
    for (const auto &record : list) {
        test::WriteTile(folder, type, record, level);
    }
    if (root) {
        ASSERT_EQ(::mount("tmpfs", folder.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
    } else {
        fs::permissions(folder, fs::perms::owner_write, fs::perm_options::remove);
    }
    test::RecordingUi ui;
    const auto summary = SetRasterSpatRef(folder, TileSequence::FromList(list), type, level, ui);
    EXPECT_EQ(summary.failed, static_cast<std::int64_t>(list.size()));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text.rfind("Could not record the coordinate system of ", 0), 0u);
    for (const auto &record : list) {
        EXPECT_FALSE(
            fs::exists(mapout::SideFilePath(tiles::TilePath(folder, type, record, level))));
    }
    if (root) {
        ::umount2(folder.c_str(), MNT_DETACH);
    } else {
        fs::permissions(folder, fs::perms::owner_write, fs::perm_options::add);
    }
}

TEST(SetRasterSpatRef, RunsThatEndBeforeTheFirstTile) {
    test::TempDir dir;
    const auto list = test::MoscowTiles(TilesType::GoogleSat, 12);
    for (const auto &record : list) {
        test::WriteTile(dir.Path(), TilesType::GoogleSat, record, 12);
    }
    test::RecordingUi ui;
    EXPECT_EQ(mapout::OpenRasterWorkspace(dir.Path(), ui), dir.Path());
    // A level folder that is missing, or a file: the workspace report, then the message.
    const fs::path missing = dir / "missing";
    const fs::path file = tiles::TilePath(dir.Path(), TilesType::GoogleSat, list[0], 12);
    for (const fs::path &folder : {missing, file}) {
        const auto summary =
            SetRasterSpatRef(folder, TileSequence::FromList(list), TilesType::GoogleSat, 12, ui);
        EXPECT_FALSE(summary.completed);
        EXPECT_EQ(ui.messages.back().text,
                  "Can not open raster workspase!\r\nFolder: " + folder.string() + "/");
        EXPECT_EQ(ui.messages.back().title, "");
    }
    ASSERT_EQ(ui.messages.size(), 4u);
    EXPECT_EQ(ui.messages[0].text,
              ComposeMessageReport("OpenRasterWorkSpace  ", 76,
                                   "The folder " + missing.string() + "/ does not exist"));
    EXPECT_EQ(ui.messages[0].title, kReportTitle);
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
