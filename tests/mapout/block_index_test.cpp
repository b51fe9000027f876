#include "mapout/block_index.h"

#include "dialogs/error_report.h"
#include "download/tile_files.h"
#include "mapout/spatial_reference.h"
#include "mapout_support.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <stdexcept>

using namespace tessaro;
using mapout::AddPolygonFC;
using mapout::FeatureClass;
using mapout::TileSequence;
using tiles::TilesType;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const mapout::VersionTexts kVersions{"125", "m2", "t3"};
constexpr std::chrono::year_month_day kLoadDate{2026y / 12 / 5};

// The three places an index can live: a shapefile in a folder, a feature class in a
// GeoPackage, one in a File Geodatabase.
struct IndexFormat {
    const char *label;
    const char *indexPath; ///< below the test folder, as the user types it
    const char *source;    ///< what GDAL opens to read it back
    const char *layer;
    double ringTolerance; ///< a File Geodatabase keeps vertices on a 0.1 mm grid
};
constexpr IndexFormat kFormats[] = {
    {"shapefile", "blocks", "blocks.shp", "", 1e-6},
    {"GeoPackage", "index.gpkg/blocks", "index.gpkg", "blocks", 1e-6},
    {"File Geodatabase", "index.gdb/blocks", "index.gdb", "blocks", 1e-4},
};

// Opens the index of a format, creating it on the first call (the user answers Yes).
std::optional<FeatureClass> OpenIndex(const test::TempDir &dir, const IndexFormat &format) {
    test::RecordingUi ui;
    ui.answers = {true};
    fs::path path = dir / format.indexPath;
    auto index = mapout::OpenPolygonFC(path, ui);
    EXPECT_TRUE(index) << format.label;
    EXPECT_TRUE(ui.messages.empty()) << ui.messages.front().text;
    return index;
}

std::vector<test::BlockRow> Rows(const test::TempDir &dir, const IndexFormat &format) {
    return test::ReadBlockRows(dir / format.source, format.layer);
}

double ResN(int level) {
    return 2 * std::numbers::pi * 6378137.0 / 256 / std::ldexp(1.0, level);
}

// The record a tile must have, worked out from its list columns as the index defines them.
test::BlockRow Expected(TilesType type, const tiles::TileRecord &r, int level, std::string service,
                        std::string version, int present) {
    const double shift = tiles::IsEllipsoidal(type) ? 256 * ResN(level) : 0.0;
    const double y = r.y + shift;
    test::BlockRow row;
    row.blockName = download::TileBaseName(type, r, level);
    row.service = std::move(service);
    row.version = std::move(version);
    row.blockType = download::TypeWord(type);
    row.xm = r.x - r.resX / 2;
    row.ym = y - r.resY / 2;
    row.resolution = r.resX;
    row.zoom = level;
    row.present = present;
    const double x0 = r.x - r.resX / 2;
    const double x1 = r.x + 256 * r.resX - r.resX / 2;
    const double y0 = y - r.resY / 2;
    const double y1 = y + 256 * r.resY - r.resY / 2;
    row.ring = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}, {x0, y0}};
    return row;
}

mapout::BlockIndexSummary Record(FeatureClass &index, const fs::path &folder,
                                 const std::vector<tiles::TileRecord> &list, TilesType type,
                                 int level, std::string_view source, test::RecordingUi &ui,
                                 const mapout::VersionTexts &versions = kVersions,
                                 std::chrono::year_month_day date = kLoadDate) {
    return AddPolygonFC(folder, &index, TileSequence::FromList(list), type, level, source, versions,
                        ui, date);
}

tiles::TileRecord Named(std::string_view name, double x) {
    tiles::TileRecord r;
    r.x = x;
    r.y = 7000000;
    r.resX = 2;
    r.resY = -2;
    r.name.Assign(name);
    return r;
}

void SortRows(std::vector<test::BlockRow> &rows) {
    std::sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) {
        return std::tie(a.blockName, a.service, a.blockType) <
               std::tie(b.blockName, b.service, b.blockType);
    });
}

void ExpectRows(std::vector<test::BlockRow> expected, const std::vector<test::BlockRow> &actual,
                double ringTolerance = 1e-6) {
    SortRows(expected);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        test::ExpectSameRow(expected[i], actual[i], 1e-6, ringTolerance);
    }
}

void ExpectRows(const std::vector<test::BlockRow> &expected, const test::TempDir &dir,
                const IndexFormat &format) {
    ExpectRows(expected, test::ReadBlockRows(dir / format.source, format.layer),
               format.ringTolerance);
}

} // namespace

TEST(ShapeName, ExtensionBecomesShp) {
    EXPECT_EQ(mapout::NormaliseShapeName("blocks"), "blocks.shp");
    EXPECT_EQ(mapout::NormaliseShapeName("blocks.dbf"), "blocks.shp");
    EXPECT_EQ(mapout::NormaliseShapeName("my.blocks.txt"), "my.blocks.shp");
    EXPECT_EQ(mapout::NormaliseShapeName("b.SHP"), "b.SHP");
    EXPECT_EQ(mapout::NormaliseShapeName("b.sHp"), "b.sHp");
    EXPECT_EQ(mapout::NormaliseShapeName("b.shpx"), "b.shp");
}

TEST(BlockPolygon, RingRunsClockwiseFromTheUpperLeftCorner) {
    const OGRPolygon polygon = mapout::MakeBlockPolygon(1000.5, 2000.5, 1, -1);
    const OGRLinearRing *ring = polygon.getExteriorRing();
    ASSERT_NE(ring, nullptr);
    ASSERT_EQ(ring->getNumPoints(), 5);
    const double expected[5][2] = {
        {1000, 2001}, {1256, 2001}, {1256, 1745}, {1000, 1745}, {1000, 2001}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ring->getX(i), expected[i][0]) << i;
        EXPECT_EQ(ring->getY(i), expected[i][1]) << i;
    }
    EXPECT_TRUE(ring->isClockwise());
    EXPECT_EQ(polygon.getSpatialReference(), nullptr);
    EXPECT_EQ(polygon.get_Area(), 256.0 * 256.0);
}

TEST(WhereClause, ValuesAreQuotedSoTheyCannotChangeTheQuery) {
    EXPECT_EQ(mapout::QuoteLiteral("a'b"), "'a''b'");
    EXPECT_EQ(mapout::QuoteLiteral(""), "''");
    EXPECT_EQ(mapout::QuoteLiteral("''"), "''''''");

    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.label);
        test::TempDir dir;
        auto index = OpenIndex(dir, format);
        ASSERT_TRUE(index);
        EXPECT_EQ(mapout::BlockWhereClause(index->Layer(), "a'b", "Goo", "sat"),
                  "\"blockName\" = 'a''b' AND \"Service\" = 'Goo' AND \"blockType\" = 'sat'");
        const std::vector<tiles::TileRecord> list{Named("a'b", 0), Named("a", 1000),
                                                  Named("b' OR '1'='1", 2000)};
        test::RecordingUi ui;
        ASSERT_EQ(Record(*index, dir.Path(), list, TilesType::GoogleSat, 14, "Goo", ui).added, 3);
        for (const auto &record : list) {
            auto found = mapout::FindFeatureByWhere(
                *index, mapout::BlockWhereClause(index->Layer(), record.name.View(), "Goo", "sat"));
            ASSERT_TRUE(found) << record.name.Str();
            EXPECT_EQ(std::string(found->GetFieldAsString("blockName")), record.name.Str());
        }
        for (const char *probe : {"x' OR '1'='1", "b", "a''b"}) {
            EXPECT_FALSE(mapout::FindFeatureByWhere(
                *index, mapout::BlockWhereClause(index->Layer(), probe, "Goo", "sat")))
                << probe;
        }
        // A filter the driver cannot parse finds nothing and leaves the layer unfiltered.
        EXPECT_FALSE(mapout::FindFeatureByWhere(*index, "blockName = = 'a"));
        EXPECT_EQ(index->Layer().GetFeatureCount(), 3);
    }
}

TEST(OpenPolygonFC, CreatesAMissingIndexWithTheBlockFieldsInEachFormat) {
    const auto sphere = mapout::SetProjectedCoordSystem(mapout::kSphereMercator);
    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.label);
        test::TempDir dir;
        fs::path path = dir / format.indexPath;
        const bool shapefile = std::string(format.label) == "shapefile";
        const fs::path shown = shapefile ? dir / "blocks.shp" : path;
        {
            test::RecordingUi ui;
            ui.answers = {true};
            auto index = mapout::OpenPolygonFC(path, ui);
            ASSERT_TRUE(index);
            EXPECT_EQ(path, shown);
            ASSERT_EQ(ui.questions.size(), 1u);
            EXPECT_EQ(ui.questions[0].question, dialogs::Question::CreateIndex);
            EXPECT_EQ(ui.questions[0].text,
                      std::string(shapefile ? "SHP-файл для хранения полигонов не существует"
                                            : "FeatureClass для хранения полигонов не существует") +
                          "\r\n" + shown.string() + "\r\nСоздать новый?");
            EXPECT_TRUE(ui.messages.empty());
        }
        GDALDatasetUniquePtr dataset(
            GDALDataset::Open((dir / format.source).c_str(), GDAL_OF_VECTOR));
        ASSERT_TRUE(dataset);
        OGRLayer *layer =
            *format.layer ? dataset->GetLayerByName(format.layer) : dataset->GetLayer(0);
        ASSERT_NE(layer, nullptr);
        ASSERT_NE(layer->GetSpatialRef(), nullptr);
        EXPECT_TRUE(layer->GetSpatialRef()->IsSame(&sphere));
        const auto flat = wkbFlatten(layer->GetGeomType());
        EXPECT_TRUE(flat == wkbPolygon || flat == wkbMultiPolygon);
        const OGRFeatureDefn *defn = layer->GetLayerDefn();
        ASSERT_EQ(defn->GetFieldCount(), 9);
        const std::pair<const char *, OGRFieldType> fields[] = {
            {"blockName", OFTString}, {"Service", OFTString}, {"Version", OFTString},
            {"blockType", OFTString}, {"Xm", OFTReal},        {"Ym", OFTReal},
            {"Resolution", OFTReal},  {"Zoom", OFTInteger},   {"Present", OFTInteger}};
        for (int i = 0; i < 9; ++i) {
            EXPECT_STREQ(defn->GetFieldDefn(i)->GetNameRef(), fields[i].first);
            EXPECT_EQ(defn->GetFieldDefn(i)->GetType(), fields[i].second) << fields[i].first;
            EXPECT_TRUE(defn->GetFieldDefn(i)->IsNullable()) << fields[i].first;
        }
        if (shapefile) {
            // The widths a shapefile keeps (a dBase text holds at most 254 characters).
            const int widths[] = {254, 10, 10, 3, 19, 19, 19, 2, 2};
            for (int i = 0; i < 9; ++i) {
                EXPECT_EQ(defn->GetFieldDefn(i)->GetWidth(), widths[i]) << fields[i].first;
            }
            EXPECT_EQ(defn->GetFieldDefn(4)->GetPrecision(), 9);
        }
        dataset.reset();

        // Opened again: no question, no field added twice.
        test::RecordingUi again;
        auto reopened = mapout::OpenPolygonFC(path, again);
        ASSERT_TRUE(reopened);
        EXPECT_TRUE(again.questions.empty());
        EXPECT_TRUE(again.messages.empty());
        EXPECT_EQ(reopened->Layer().GetLayerDefn()->GetFieldCount(), 9);
    }
}

TEST(OpenPolygonFC, ShapefileNamesAreNormalisedInThePath) {
    test::TempDir dir;
    fs::path path = dir / "blocks.dbf";
    test::RecordingUi ui;
    ui.answers = {true};
    ASSERT_TRUE(mapout::OpenPolygonFC(path, ui));
    EXPECT_EQ(path, dir / "blocks.shp");
    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_NE(ui.questions[0].text.find((dir / "blocks.shp").string()), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "blocks.shp"));

    // "SHP" in capitals stays as typed; GDAL writes the files in lower case and finds them.
    fs::path upper = dir / "B.SHP";
    test::RecordingUi ui2;
    ui2.answers = {true};
    ASSERT_TRUE(mapout::OpenPolygonFC(upper, ui2));
    EXPECT_EQ(upper, dir / "B.SHP");
    test::RecordingUi ui3;
    EXPECT_TRUE(mapout::OpenPolygonFC(upper, ui3));
    EXPECT_TRUE(ui3.questions.empty());
}

TEST(OpenPolygonFC, AnsweringNoClearsThePathAndCreatesNothing) {
    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.label);
        test::TempDir dir;
        fs::path path = dir / format.indexPath;
        test::RecordingUi ui;
        ui.answers = {false};
        EXPECT_FALSE(mapout::OpenPolygonFC(path, ui));
        EXPECT_TRUE(path.empty());
        ASSERT_EQ(ui.questions.size(), 1u);
        ASSERT_EQ(ui.messages.size(), 1u);
        const bool shapefile = std::string(format.label) == "shapefile";
        EXPECT_EQ(ui.messages[0].text,
                  std::string("Не открылся FeatureClass ") + (shapefile ? "blocks.shp" : "blocks"));
        EXPECT_TRUE(fs::is_empty(dir.Path()));
    }
}

TEST(OpenPolygonFC, WorkspacesThatCannotHoldTheIndex) {
    test::TempDir dir;
    fs::path missing = dir / "missing" / "blocks";
    test::RecordingUi ui;
    EXPECT_FALSE(mapout::OpenPolygonFC(missing, ui));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              "Не открылась рабочая область для сохранения полигинов!\r\nblocks");
    EXPECT_TRUE(ui.questions.empty());
    EXPECT_EQ(missing, dir / "missing" / "blocks");

    test::WriteText(dir / "table.csv", "a,b\n1,2\n");
    fs::path csv = dir / "table.csv" / "blocks";
    test::RecordingUi ui2;
    EXPECT_FALSE(mapout::OpenPolygonFC(csv, ui2));
    ASSERT_EQ(ui2.messages.size(), 2u);
    EXPECT_EQ(ui2.messages[0].text, "не поддерживается данный тип рабочей области");
    EXPECT_EQ(ui2.messages[1].text, "Не открылся FeatureClass blocks");
    EXPECT_EQ(test::ReadText(dir / "table.csv"), "a,b\n1,2\n");
}

TEST(OpenPolygonFC, CorruptIndexIsReportedAndNeverReplaced) {
    test::TempDir dir;
    test::WriteText(dir / "blocks.shp", "not a shapefile");
    test::WriteText(dir / "blocks.dbf", "not a table");
    fs::path path = dir / "blocks";
    test::RecordingUi ui;
    ui.answers = {true};
    EXPECT_FALSE(mapout::OpenPolygonFC(path, ui));
    EXPECT_TRUE(ui.questions.empty());
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].title, dialogs::kReportTitle);
    EXPECT_NE(ui.messages[0].text.find("\tOpenPolygonFC  \r\n"), std::string::npos);
    EXPECT_NE(ui.messages[0].text.find("The shapefile " + (dir / "blocks.shp").string() +
                                       " cannot be opened"),
              std::string::npos);
    EXPECT_EQ(ui.messages[1].text, "Не открылся FeatureClass blocks.shp");
    EXPECT_EQ(test::ReadText(dir / "blocks.shp"), "not a shapefile");

    test::WriteText(dir / "index.gpkg", "not a database");
    fs::path gpkg = dir / "index.gpkg" / "blocks";
    test::RecordingUi ui2;
    ui2.answers = {true};
    EXPECT_FALSE(mapout::OpenPolygonFC(gpkg, ui2));
    EXPECT_TRUE(ui2.questions.empty());
    ASSERT_EQ(ui2.messages.size(), 1u);
    EXPECT_EQ(ui2.messages[0].text,
              "Не открылась рабочая область для сохранения полигинов!\r\nblocks");
    EXPECT_EQ(test::ReadText(dir / "index.gpkg"), "not a database");
}

TEST(OpenPolygonFC, ExistingIndexGetsOnlyTheFieldsItLacks) {
    test::TempDir dir;
    // A shapefile whose fields differ in case and width, plus one of its own.
    {
        auto shp = mapout::CreateShapeFC(dir.Path(), "old", wkbPolygon, false, false, nullptr);
        ASSERT_TRUE(shp);
        test::RecordingUi ui;
        ASSERT_TRUE(
            mapout::AddField(*shp, "BLOCKNAME", true, mapout::FieldType::Text, 50, 0, 0, true, ui));
        ASSERT_TRUE(
            mapout::AddField(*shp, "note", true, mapout::FieldType::Text, 20, 0, 0, true, ui));
        ASSERT_TRUE(
            mapout::AddField(*shp, "present", true, mapout::FieldType::Integer, 1, 0, 0, true, ui));
    }
    // A File Geodatabase feature class that has some of the fields.
    {
        const auto gdb = mapout::CreateDbWorkspace(dir / "old.gdb");
        auto fc = mapout::CreateDbFC(gdb, "blocks", wkbPolygon, false, false, nullptr);
        test::RecordingUi ui;
        ASSERT_TRUE(
            mapout::AddField(fc, "Xm", true, mapout::FieldType::Double, 17, 17, 9, true, ui));
        ASSERT_TRUE(
            mapout::AddField(fc, "zoom", true, mapout::FieldType::Integer, 2, 0, 0, true, ui));
    }
    const std::vector<std::string> shpExpected{"BLOCKNAME",  "note",      "present", "Service",
                                               "Version",    "blockType", "Xm",      "Ym",
                                               "Resolution", "Zoom"};
    const std::vector<std::string> gdbExpected{"Xm",      "zoom",       "blockName",
                                               "Service", "Version",    "blockType",
                                               "Ym",      "Resolution", "Present"};
    for (const auto &[index, expected] : {std::pair{dir / "old", shpExpected},
                                          std::pair{dir / "old.gdb" / "blocks", gdbExpected}}) {
        SCOPED_TRACE(index.string());
        fs::path path = index;
        test::RecordingUi ui;
        auto fc = mapout::OpenPolygonFC(path, ui);
        ASSERT_TRUE(fc);
        EXPECT_TRUE(ui.questions.empty());
        EXPECT_TRUE(ui.messages.empty());
        const OGRFeatureDefn *defn = fc->Layer().GetLayerDefn();
        std::vector<std::string> names;
        for (int i = 0; i < defn->GetFieldCount(); ++i) {
            names.emplace_back(defn->GetFieldDefn(i)->GetNameRef());
        }
        EXPECT_EQ(names, expected);
    }
    // Widths of fields that were there stay as they were.
    GDALDatasetUniquePtr shp(GDALDataset::Open((dir / "old.shp").c_str(), GDAL_OF_VECTOR));
    ASSERT_TRUE(shp);
    EXPECT_EQ(shp->GetLayer(0)->GetLayerDefn()->GetFieldDefn(0)->GetWidth(), 50);
    EXPECT_EQ(shp->GetLayer(0)->GetLayerDefn()->GetFieldDefn(2)->GetWidth(), 1);
}

TEST(OpenPolygonFC, MissingDatabaseIsCreatedWithTheIndex) {
    test::TempDir dir;
    for (const char *name : {"new.gpkg", "new.gdb"}) {
        fs::path path = dir / name / "blocks";
        test::RecordingUi ui;
        ui.answers = {true};
        ASSERT_TRUE(mapout::OpenPolygonFC(path, ui)) << name;
        EXPECT_EQ(ui.questions.size(), 1u);
        EXPECT_TRUE(fs::exists(dir / name));
        EXPECT_EQ(test::ReadBlockRows(dir / name, "blocks").size(), 0u);
    }
}

TEST(AddPolygonFC, RecordsEveryTileOnceWithItsValuesInEachFormat) {
    const auto type = TilesType::GoogleSat;
    const int level = 14;
    const auto list = test::MoscowTiles(type, level);
    ASSERT_GE(list.size(), 4u);
    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.label);
        test::TempDir dir;
        const fs::path tilesDir = dir / "tiles";
        // Every other tile was downloaded.
        std::vector<test::BlockRow> expected;
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (i % 2 == 0) {
                test::WriteImage(download::TilePath(tilesDir, type, list[i], level), false);
            }
            expected.push_back(Expected(type, list[i], level, "Goo", "125", i % 2 == 0 ? -1 : 0));
        }
        auto index = OpenIndex(dir, format);
        ASSERT_TRUE(index);
        test::RecordingUi ui;
        const auto summary = Record(*index, tilesDir, list, type, level, "Goo", ui);
        EXPECT_TRUE(summary.completed);
        EXPECT_EQ(summary.added, static_cast<std::int64_t>(list.size()));
        EXPECT_EQ(summary.refreshed + summary.unchanged, 0);
        EXPECT_TRUE(ui.messages.empty());
        EXPECT_EQ(ui.labels, (std::vector<std::string>{"Create Geometry",
                                                       "Add to Polygon Feature class", ""}));
        EXPECT_EQ(ui.lastMaximum, 0);
        ExpectRows(expected, dir, format);
    }
}

TEST(AddPolygonFC, LaterRunsRefreshPresentAndNothingElse) {
    const auto type = TilesType::GoogleMap;
    const int level = 13;
    const auto list = test::MoscowTiles(type, level);
    ASSERT_GE(list.size(), 3u);
    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.label);
        test::TempDir dir;
        auto index = OpenIndex(dir, format);
        ASSERT_TRUE(index);
        test::RecordingUi ui;
        ASSERT_EQ(Record(*index, dir.Path(), list, type, level, "Goo", ui).added,
                  static_cast<std::int64_t>(list.size()));

        // The tiles arrive; the next run comes with other versions and another date.
        for (const auto &record : list) {
            test::WriteImage(download::TilePath(dir.Path(), type, record, level), true);
        }
        const mapout::VersionTexts newer{"200", "m9", "t9"};
        auto second =
            Record(*index, dir.Path(), list, type, level, "Goo", ui, newer, 2027y / 1 / 2);
        EXPECT_EQ(second.added, 0);
        EXPECT_EQ(second.refreshed, static_cast<std::int64_t>(list.size()));
        std::vector<test::BlockRow> expected;
        for (const auto &record : list) {
            expected.push_back(Expected(type, record, level, "Goo", "m2", -1));
        }
        ExpectRows(expected, dir, format);

        // One tile goes away again; the others are already up to date.
        fs::remove(download::TilePath(dir.Path(), type, list[1], level));
        auto third = Record(*index, dir.Path(), list, type, level, "Goo", ui);
        EXPECT_EQ(third.added, 0);
        EXPECT_EQ(third.refreshed, 1);
        EXPECT_EQ(third.unchanged, static_cast<std::int64_t>(list.size()) - 1);
        expected[1].present = 0;
        ExpectRows(expected, dir, format);
        EXPECT_TRUE(ui.messages.empty());
    }
}

TEST(AddPolygonFC, EllipsoidalTilesStartOneTileHeightUp) {
    test::TempDir dir;
    // An index in World Mercator holds the polygons as built.
    const auto world = mapout::SetProjectedCoordSystem(mapout::kWorldMercator);
    const auto workspace = mapout::CreateDbWorkspace(dir / "world.gpkg");
    auto index = mapout::CreateDbFC(workspace, "blocks", wkbPolygon, false, false, &world);
    test::RecordingUi ui;
    mapout::AddPolygonFields(index, ui);

    const int level = 12;
    std::vector<test::BlockRow> expected;
    for (const auto type : {TilesType::ScanSat, TilesType::YandMap}) {
        const auto list = test::MoscowTiles(type, level);
        const std::string service = type == TilesType::ScanSat ? "Scan" : "Yand";
        auto summary = Record(index, dir.Path(), list, type, level, service, ui);
        EXPECT_EQ(summary.added, static_cast<std::int64_t>(list.size()));
        for (const auto &record : list) {
            expected.push_back(Expected(type, record, level, service, "05.12.2026", 0));
        }
    }
    EXPECT_DOUBLE_EQ(expected.front().ym, test::MoscowTiles(TilesType::ScanSat, level)[0].y +
                                              256 * ResN(level) + ResN(level) / 2);
    // A Google tile with the very same list values is not moved up; its polygon, built in
    // Sphere Mercator, is transformed into the index's World Mercator.
    tiles::TileRecord google = test::MoscowTiles(TilesType::ScanSat, level)[0];
    google.name.Assign("tqq");
    ASSERT_EQ(Record(index, dir.Path(), {google}, TilesType::GoogleSat, level, "Goo", ui).added, 1);
    auto rows = test::ReadBlockRows(dir / "world.gpkg", "blocks");
    const auto googleRow = std::find_if(rows.begin(), rows.end(),
                                        [](const auto &row) { return row.service == "Goo"; });
    ASSERT_NE(googleRow, rows.end());
    auto googleExpected = Expected(TilesType::GoogleSat, google, level, "Goo", "125", 0);
    EXPECT_DOUBLE_EQ(googleRow->ym, google.y - google.resY / 2);
    ASSERT_EQ(googleRow->ring.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        const auto want =
            test::SphereMercatorToGeo(googleExpected.ring[i].first, googleExpected.ring[i].second);
        const auto got =
            test::WorldMercatorToGeo(googleRow->ring[i].first, googleRow->ring[i].second);
        EXPECT_NEAR(got.lon, want.lon, 1e-9) << i;
        EXPECT_NEAR(got.lat, want.lat, 1e-9) << i;
    }
    googleExpected.ring = googleRow->ring;
    test::ExpectSameRow(googleExpected, *googleRow);
    rows.erase(googleRow);
    ExpectRows(expected, rows);
    EXPECT_TRUE(ui.messages.empty());
}

TEST(AddPolygonFC, PolygonsAreTransformedIntoTheIndexSystem) {
    test::TempDir dir;
    auto index = OpenIndex(dir, kFormats[1]); // Sphere Mercator
    ASSERT_TRUE(index);
    const auto type = TilesType::YandSat;
    const int level = 12;
    const auto list = test::MoscowTiles(type, level);
    test::RecordingUi ui;
    ASSERT_EQ(Record(*index, dir.Path(), list, type, level, "Yand", ui).added,
              static_cast<std::int64_t>(list.size()));
    const auto rows = Rows(dir, kFormats[1]);
    ASSERT_EQ(rows.size(), list.size());
    for (const auto &record : list) {
        const auto expected = Expected(type, record, level, "Yand", "05.12.2026", 0);
        const auto it = std::find_if(rows.begin(), rows.end(), [&](const auto &row) {
            return row.blockName == expected.blockName;
        });
        ASSERT_NE(it, rows.end());
        // The fields keep the source's own metres; the polygon lands on the same ground.
        EXPECT_DOUBLE_EQ(it->xm, expected.xm);
        EXPECT_DOUBLE_EQ(it->ym, expected.ym);
        ASSERT_EQ(it->ring.size(), expected.ring.size());
        for (std::size_t i = 0; i < expected.ring.size(); ++i) {
            const auto want =
                test::WorldMercatorToGeo(expected.ring[i].first, expected.ring[i].second);
            const auto got = test::SphereMercatorToGeo(it->ring[i].first, it->ring[i].second);
            EXPECT_NEAR(got.lon, want.lon, 1e-9) << i;
            EXPECT_NEAR(got.lat, want.lat, 1e-9) << i;
        }
    }
}

TEST(AddPolygonFC, SourcesSharingABlockNameGetTheirOwnRecords) {
    test::TempDir dir;
    auto index = OpenIndex(dir, kFormats[0]);
    ASSERT_TRUE(index);
    const int level = 13;
    // Google map and landscape tiles share the names column_row.
    const auto maps = test::MoscowTiles(TilesType::GoogleMap, level);
    const auto lands = test::MoscowTiles(TilesType::GoogleLand, level);
    ASSERT_EQ(download::TileBaseName(TilesType::GoogleMap, maps[0], level),
              download::TileBaseName(TilesType::GoogleLand, lands[0], level));
    for (const auto &record : maps) {
        test::WriteImage(download::TilePath(dir.Path(), TilesType::GoogleMap, record, level), true);
    }
    test::RecordingUi ui;
    Record(*index, dir.Path(), maps, TilesType::GoogleMap, level, "Goo", ui);
    Record(*index, dir.Path(), lands, TilesType::GoogleLand, level, "Goo", ui);
    // The same satellite names under two source names.
    const auto sats = test::MoscowTiles(TilesType::GoogleSat, level);
    Record(*index, dir.Path(), sats, TilesType::GoogleSat, level, "Goo", ui);
    Record(*index, dir.Path(), sats, TilesType::GoogleSat, level, "Mirror", ui);
    // Once more each: nothing new.
    EXPECT_EQ(Record(*index, dir.Path(), lands, TilesType::GoogleLand, level, "Goo", ui).added, 0);
    EXPECT_EQ(Record(*index, dir.Path(), sats, TilesType::GoogleSat, level, "Mirror", ui).added, 0);

    std::vector<test::BlockRow> expected;
    for (const auto &r : maps) {
        expected.push_back(Expected(TilesType::GoogleMap, r, level, "Goo", "m2", -1));
    }
    for (const auto &r : lands) {
        expected.push_back(Expected(TilesType::GoogleLand, r, level, "Goo", "t3", 0));
    }
    for (const auto &r : sats) {
        expected.push_back(Expected(TilesType::GoogleSat, r, level, "Goo", "125", 0));
        expected.push_back(Expected(TilesType::GoogleSat, r, level, "Mirror", "125", 0));
    }
    ExpectRows(expected, dir, kFormats[0]);
    EXPECT_TRUE(ui.messages.empty());
}

TEST(AddPolygonFC, NamesWithQuotesAndRepeatedTilesKeepOneRecordEach) {
    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.label);
        test::TempDir dir;
        auto index = OpenIndex(dir, format);
        ASSERT_TRUE(index);
        const std::vector<tiles::TileRecord> list{Named("a'b", 0), Named("a", 1000),
                                                  Named("x' OR '1'='1", 2000), Named("a'b", 0)};
        test::RecordingUi ui;
        const auto first = Record(*index, dir.Path(), list, TilesType::GoogleSat, 14, "Goo", ui);
        EXPECT_EQ(first.added, 3);
        EXPECT_EQ(first.unchanged, 1); // the repeated tile
        test::WriteImage(dir / "a'b.jpg", false);
        const auto second = Record(*index, dir.Path(), list, TilesType::GoogleSat, 14, "Goo", ui);
        EXPECT_EQ(second.added, 0);
        EXPECT_EQ(second.refreshed, 1);
        EXPECT_EQ(second.unchanged, 3);
        ExpectRows({Expected(TilesType::GoogleSat, list[0], 14, "Goo", "125", -1),
                    Expected(TilesType::GoogleSat, list[1], 14, "Goo", "125", 0),
                    Expected(TilesType::GoogleSat, list[2], 14, "Goo", "125", 0)},
                   dir, format);
        EXPECT_TRUE(ui.messages.empty());
    }
}

TEST(AddPolygonFC, ShadedReliefCountsOnlyTilesInTheirRowFolders) {
    test::TempDir dir;
    auto index = OpenIndex(dir, kFormats[1]);
    ASSERT_TRUE(index);
    const auto type = TilesType::Shade;
    const int level = 9;
    const auto list = test::MoscowTiles(type, level);
    ASSERT_GE(list.size(), 2u);
    test::WriteImage(download::TilePath(dir.Path(), type, list[0], level), false);
    // The second tile lies in the level folder itself, where relief tiles do not belong.
    test::WriteImage(dir / (download::TileBaseName(type, list[1], level) + ".jpg"), false);
    test::RecordingUi ui;
    Record(*index, dir.Path(), list, type, level, "Shade", ui);
    std::vector<test::BlockRow> expected;
    for (std::size_t i = 0; i < list.size(); ++i) {
        expected.push_back(Expected(type, list[i], level, "Shade", "05.12.2026", i == 0 ? -1 : 0));
    }
    ExpectRows(expected, dir, kFormats[1]);
}

TEST(AddPolygonFC, ErrorEndsTheRunAndKeepsTheRecordsBeforeIt) {
    // A list that breaks at its third tile, into a GeoPackage (one transaction per run).
    test::TempDir dir;
    auto index = OpenIndex(dir, kFormats[1]);
    ASSERT_TRUE(index);
    const std::vector<tiles::TileRecord> list{Named("t1", 0), Named("t2", 1000)};
    std::size_t next = 0;
    TileSequence breaking(3, [&](tiles::TileRecord &out) {
        if (next == list.size()) {
            throw std::runtime_error("The tile list broke off");
        }
        out = list[next++];
        return true;
    });
    test::RecordingUi ui;
    const auto summary = AddPolygonFC(dir.Path(), &*index, std::move(breaking),
                                      TilesType::GoogleSat, 14, "Goo", kVersions, ui, kLoadDate);
    EXPECT_FALSE(summary.completed);
    EXPECT_EQ(summary.added, 2);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              dialogs::ComposeMessageReport("AddPolygonFC  ", 5, "The tile list broke off"));
    EXPECT_EQ(ui.labels.back(), "");
    EXPECT_EQ(ui.lastMaximum, 0);
    index.reset();
    ExpectRows({Expected(TilesType::GoogleSat, list[0], 14, "Goo", "125", 0),
                Expected(TilesType::GoogleSat, list[1], 14, "Goo", "125", 0)},
               test::ReadBlockRows(dir / "index.gpkg", "blocks"));

    // A value a shapefile cannot hold ends the run instead of leaving a wrong record.
    test::TempDir shp;
    auto shpIndex = OpenIndex(shp, kFormats[0]);
    ASSERT_TRUE(shpIndex);
    const std::vector<tiles::TileRecord> wide{Named("w1", 0), Named("w2", 1e12), Named("w3", 0)};
    test::RecordingUi ui2;
    const auto wideSummary =
        Record(*shpIndex, shp.Path(), wide, TilesType::GoogleSat, 14, "Goo", ui2);
    EXPECT_FALSE(wideSummary.completed);
    EXPECT_EQ(wideSummary.added, 1);
    ASSERT_EQ(ui2.messages.size(), 1u);
    EXPECT_NE(ui2.messages[0].text.find("\tAddPolygonFC  \r\n"), std::string::npos);
    EXPECT_NE(ui2.messages[0].text.find("The record of tile w2 cannot be added in blocks: "),
              std::string::npos);
    shpIndex.reset();
    const auto rows = Rows(shp, kFormats[0]);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].blockName, "w1");
}

TEST(AddPolygonFC, IndexWithoutTheBlockFieldsIsReported) {
    test::TempDir dir;
    const auto workspace = mapout::CreateDbWorkspace(dir / "bare.gpkg");
    auto bare = mapout::CreateDbFC(workspace, "bare", wkbPolygon, false, false, nullptr);
    test::RecordingUi ui;
    const auto summary =
        Record(bare, dir.Path(), {Named("a", 0)}, TilesType::GoogleSat, 14, "Goo", ui);
    EXPECT_FALSE(summary.completed);
    EXPECT_EQ(summary.added, 0);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              dialogs::ComposeMessageReport("AddPolygonFC  ", 1001,
                                            "The block index bare has no field blockName"));
    EXPECT_EQ(bare.Layer().GetFeatureCount(), 0);
}

TEST(AddPolygonFC, NothingHappensWithoutAnIndexOrForAnUnknownType) {
    test::TempDir dir;
    auto index = OpenIndex(dir, kFormats[1]);
    ASSERT_TRUE(index);
    const std::vector<tiles::TileRecord> list{Named("a", 0)};
    test::RecordingUi ui;
    auto none = AddPolygonFC(dir.Path(), nullptr, TileSequence::FromList(list),
                             TilesType::GoogleSat, 14, "Goo", kVersions, ui, kLoadDate);
    EXPECT_FALSE(none.completed);
    auto unknown = Record(*index, dir.Path(), list, static_cast<TilesType>(5), 14, "Goo", ui);
    EXPECT_FALSE(unknown.completed);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(ui.labels.empty());
    EXPECT_EQ(index->Layer().GetFeatureCount(), 0);
}

TEST(VersionText, GoogleVersionsOrTheLoadDate) {
    EXPECT_EQ(mapout::VersionText(TilesType::GoogleSat, kVersions, kLoadDate), "125");
    EXPECT_EQ(mapout::VersionText(TilesType::GoogleMap, kVersions, kLoadDate), "m2");
    EXPECT_EQ(mapout::VersionText(TilesType::GoogleLand, kVersions, kLoadDate), "t3");
    EXPECT_EQ(mapout::VersionText(TilesType::ScanMap, kVersions, kLoadDate), "05.12.2026");
    EXPECT_EQ(mapout::VersionText(TilesType::Shade, kVersions, 2031y / 11 / 30), "30.11.2031");
    EXPECT_TRUE(mapout::LocalToday().ok());
}
