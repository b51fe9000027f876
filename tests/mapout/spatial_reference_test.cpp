#include "mapout/spatial_reference.h"

#include "common/error_report.h"
#include "mapout_support.h"
#include "support/files.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "support/tmpfs.h"
#include "tiles/tile_files.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <gtest/gtest.h>

#include <fstream>

using namespace tessaro;
using download::SetRasterSpatRef;
using tiles::TileSequence;
using tiles::TilesType;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

// Opens a tile with GDAL and checks that it is in the given system.
void ExpectSystem(const fs::path &image, int code) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(image.c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(dataset && dataset->GetSpatialRef()) << image;
    const auto expected = mapout::SetProjectedCoordSystem(code);
    EXPECT_TRUE(dataset->GetSpatialRef()->IsSame(&expected)) << image;
}

// A side file holding a coordinate system as GDAL writes it, and statistics.
std::string SideFileWith(const char *system) {
    OGRSpatialReference srs;
    EXPECT_EQ(srs.SetFromUserInput(system), OGRERR_NONE);
    char *wkt = nullptr;
    EXPECT_EQ(srs.exportToWkt(&wkt), OGRERR_NONE);
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

// Every tile type gets its system (the sphere's Mercator for Google and relief, the WGS 84
// ellipsoid's for ScanEx and Yandex); every code of the fifties is Yandex-like, other codes
// have none.
TEST(SetRasterSpatRef, EveryTypeGetsItsCoordinateSystem) {
    const std::pair<int, std::optional<int>> codes[] = {
        {50, 54004}, {59, 54004}, {5, std::nullopt}, {60, std::nullopt}, {-1, std::nullopt}};
    for (const auto &[type, code] : codes) {
        EXPECT_EQ(download::CoordSystemCodeOf(static_cast<TilesType>(type)), code) << type;
    }
    const std::tuple<TilesType, int, int> cases[] = {
        {TilesType::GoogleSat, 12, 53004},  {TilesType::GoogleMap, 13, 53004},
        {TilesType::GoogleLand, 12, 53004}, {TilesType::Shade, 9, 53004},
        {TilesType::ScanSat, 12, 54004},    {TilesType::ScanMap, 11, 54004},
        {TilesType::YandSat, 12, 54004},    {TilesType::YandMap, 13, 54004}};
    for (const auto &[type, level, system] : cases) {
        SCOPED_TRACE(static_cast<int>(type));
        test::TempDir dir;
        const auto list = test::MoscowTiles(type, level);
        ASSERT_GE(list.size(), 2u);
        const auto images = WriteTiles(dir.Path(), type, level, list);
        test::RecordingUi ui;
        const auto summary =
            SetRasterSpatRef(dir.Path(), TileSequence::FromList(list), type, level, ui);
        EXPECT_TRUE(summary.completed);
        EXPECT_EQ(summary.assigned, static_cast<std::int64_t>(list.size()));
        EXPECT_TRUE(ui.messages.empty());
        EXPECT_EQ(ui.labels, (Strings{"Set Spatial Reference", ""}));
        for (const auto &image : images) {
            ExpectSystem(image, system);
        }
    }
}

// A side file on disk is left as it is, whatever it holds (the system, another one, text cut
// short): it is the user's or an earlier run's. Missing tiles and files that are not images are
// passed over without a message. A side file that cannot be written (a folder in its place)
// stops the run there with the error report: the tiles before keep their system, the ones after
// get none.
TEST(SetRasterSpatRef, SideFilesAreKeptCompletedOrStopTheRun) {
    test::TempDir dir;
    const auto type = TilesType::GoogleSat;
    const int level = 11;
    // One tile under eight names.
    std::vector<tiles::TileRecord> list(8, test::MoscowTiles(type, level).at(0));
    for (std::size_t i = 0; i < list.size(); ++i) {
        list[i].name.Assign("t" + std::to_string(i));
    }
    const auto images = WriteTiles(dir.Path(), type, level, list);
    const std::string sides[] = {SideFileWith("ESRI:53004"), SideFileWith("EPSG:4326"),
                                 "<PAMDataset><SRS>"};
    for (std::size_t i = 0; i < 3; ++i) {
        test::WriteText(images[1 + i].string() + ".aux.xml", sides[i]);
    }
    fs::remove(images[4]);
    test::WriteText(images[5], "<html><body>404 Not Found</body></html>");
    const fs::path blocked = images[6].string() + ".aux.xml";
    fs::create_directory(blocked);

    test::RecordingUi ui;
    const auto summary =
        SetRasterSpatRef(dir.Path(), TileSequence::FromList(list), type, level, ui);
    EXPECT_FALSE(summary.completed);
    EXPECT_EQ(
        (std::array{summary.alreadySet, summary.assigned, summary.missing, summary.notRaster}),
        (std::array<std::int64_t, 4>{3, 1, 1, 1}));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              ComposeMessageReport("SetRasterSpatRef  ", 75,
                                   "The coordinate system of " + images[6].string() +
                                       " cannot be recorded: " + blocked.string() +
                                       " is not a file."));
    EXPECT_EQ(ui.labels, (Strings{"Set Spatial Reference", ""}));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(test::ReadText(images[1 + i].string() + ".aux.xml"), sides[i]);
    }
    ExpectSystem(images[0], 53004);
    EXPECT_FALSE(fs::exists(images[7].string() + ".aux.xml")) << "the run went on";
    EXPECT_FALSE(fs::exists(images[5].string() + ".aux.xml") || fs::exists(images[4]));
}

// A full disk stops the run at its first tile, and no side file is left behind half written
// (which a later run would keep as the user's).
TEST(SetRasterSpatRef, AFullDiskLeavesNoSideFile) {
    test::TempDir dir;
    test::ScopedTmpfs disk(dir / "small", "64k");
    if (!disk.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.Error();
    }
    const auto list = test::MoscowTiles(TilesType::YandSat, 10);
    WriteTiles(dir / "small", TilesType::YandSat, 10, list);
    {
        std::ofstream filler(dir / "small" / "filler", std::ios::binary);
        while (filler << std::string(4096, 'x') << std::flush) {
        }
    }
    const auto before = test::FolderContents(dir / "small").size();

    test::RecordingUi ui;
    EXPECT_FALSE(
        SetRasterSpatRef(dir / "small", TileSequence::FromList(list), TilesType::YandSat, 10, ui)
            .completed);
    EXPECT_EQ(test::FolderContents(dir / "small").size(), before) << "a side file was left";
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].text.find("\tSetRasterSpatRef  \r\n\r\nError Number \r\n\t61\r\n"),
              std::string::npos)
        << ui.messages[0].text;
}

// A level folder that is missing, or a file, ends the run before the first tile with the
// workspace report and message; relief tiles lie in row folders, so a missing level folder only
// means missing tiles; a type outside the table does nothing at all.
TEST(SetRasterSpatRef, RunsThatEndBeforeTheFirstTile) {
    test::TempDir dir;
    const auto list = test::MoscowTiles(TilesType::GoogleSat, 12);
    WriteTiles(dir.Path(), TilesType::GoogleSat, 12, list);
    test::RecordingUi ui;
    const fs::path missing = dir / "missing";
    const fs::path file = tiles::TilePath(dir.Path(), TilesType::GoogleSat, list[0], 12);
    for (const fs::path &folder : {missing, file}) {
        EXPECT_FALSE(
            SetRasterSpatRef(folder, TileSequence::FromList(list), TilesType::GoogleSat, 12, ui)
                .completed);
    }
    ASSERT_EQ(ui.messages.size(), 4u);
    EXPECT_NE(ui.messages[2].text.find("The path " + file.string() + " is not a folder"),
              std::string::npos);
    ui.messages[2].text = "the report";
    Strings texts;
    for (const auto &m : ui.messages) {
        texts.push_back(m.text);
    }
    EXPECT_EQ(texts,
              (Strings{ComposeMessageReport("OpenRasterWorkSpace  ", 76,
                                            "The folder " + missing.string() + "/ does not exist"),
                       "Can not open raster workspase!\r\nFolder: " + missing.string() + "/",
                       "the report",
                       "Can not open raster workspase!\r\nFolder: " + file.string() + "/"}));
    EXPECT_TRUE(ui.labels.empty());

    test::RecordingUi quiet;
    const auto shade = test::MoscowTiles(TilesType::Shade, 9);
    EXPECT_EQ(SetRasterSpatRef(missing, TileSequence::FromList(shade), TilesType::Shade, 9, quiet)
                  .missing,
              static_cast<std::int64_t>(shade.size()));
    EXPECT_FALSE(
        SetRasterSpatRef(dir.Path(), TileSequence::FromList(list), TilesType::Invalid, 12, quiet)
            .completed);
    EXPECT_TRUE(quiet.messages.empty());
}
