#include "mapout/block_index.h"

#include "common/error_report.h"
#include "mapout/spatial_reference.h"
#include "mapout_support.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "tiles/tile_files.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <stdexcept>

using namespace tessaro;
using mapout::FeatureClass;
using mapout::TileSequence;
using tiles::TilesType;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const mapout::VersionTexts kVersions{"125", "m2", "t3"};
constexpr std::chrono::year_month_day kLoadDate{2026y / 12 / 5};

// The three places an index can live, as the user types them below the test folder, and what
// GDAL opens to read them back.
struct IndexFormat {
    const char *label;
    const char *indexPath;
    const char *source;
    const char *layer;
    double ringTolerance; ///< a File Geodatabase keeps vertices on a 0.1 mm grid
};
constexpr IndexFormat kShapefile{"shapefile", "blocks", "blocks.shp", "", 1e-6};
constexpr IndexFormat kGeoPackage{"GeoPackage", "index.gpkg/blocks", "index.gpkg", "blocks", 1e-6};
constexpr IndexFormat kFormats[] = {
    kShapefile, kGeoPackage, {"File Geodatabase", "index.gdb/blocks", "index.gdb", "blocks", 1e-4}};

// Opens the index of a format, creating it (and its database) on the first call.
std::optional<FeatureClass> OpenIndex(const test::TempDir &dir, const IndexFormat &format) {
    test::RecordingUi ui;
    ui.answers = {true};
    fs::path path = dir / format.indexPath;
    auto index = mapout::OpenPolygonFC(path, ui);
    EXPECT_TRUE(index && ui.messages.empty()) << format.label;
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
    const double y = r.y + (tiles::IsEllipsoidal(type) ? 256 * ResN(level) : 0.0);
    const double x0 = r.x - r.resX / 2;
    const double x1 = r.x + 256 * r.resX - r.resX / 2;
    const double y0 = y - r.resY / 2;
    const double y1 = y + 256 * r.resY - r.resY / 2;
    return {tiles::TileBaseName(type, r, level),
            std::move(service),
            std::move(version),
            std::string(tiles::TypeWord(type)),
            x0,
            y0,
            r.resX,
            level,
            present,
            {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}, {x0, y0}}};
}

mapout::BlockIndexSummary Record(FeatureClass &index, const fs::path &folder,
                                 const std::vector<tiles::TileRecord> &list, TilesType type,
                                 int level, std::string_view source, test::RecordingUi &ui,
                                 const mapout::VersionTexts &versions = kVersions) {
    return mapout::AddPolygonFC(folder, &index, TileSequence::FromList(list), type, level, source,
                                versions, ui, kLoadDate);
}

tiles::TileRecord Named(std::string_view name, double x) {
    return {0, 0, x, 7000000, 2, -2, tiles::BlockName(name)};
}

} // namespace

// The ring MakeBlockPolygon builds is checked vertex by vertex in every index read back below.
TEST(BlockPolygon, ShapefileNamesGetTheExtensionShp) {
    EXPECT_EQ(mapout::NormaliseShapeName("blocks"), "blocks.shp");
    EXPECT_EQ(mapout::NormaliseShapeName("blocks.dbf"), "blocks.shp");
    EXPECT_EQ(mapout::NormaliseShapeName("my.blocks.txt"), "my.blocks.shp");
    EXPECT_EQ(mapout::NormaliseShapeName("b.sHp"), "b.sHp");
    EXPECT_EQ(mapout::NormaliseShapeName("b.shpx"), "b.shp");
}

TEST(OpenPolygonFC, CreatesAMissingIndexWithTheBlockFieldsInEachFormat) {
    const auto sphere = mapout::SetProjectedCoordSystem(mapout::kSphereMercator);
    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.label);
        test::TempDir dir; // the GeoPackage and the File Geodatabase do not exist yet either
        fs::path path = dir / format.indexPath;
        const bool shapefile = &format == &kFormats[0];
        const fs::path shown = shapefile ? dir / "blocks.shp" : path;
        {
            test::RecordingUi ui;
            ui.answers = {true};
            ASSERT_TRUE(mapout::OpenPolygonFC(path, ui));
            EXPECT_EQ(path, shown);
            ASSERT_EQ(ui.questions.size(), 1u);
            EXPECT_EQ(ui.questions[0].question, Question::CreateIndex);
            EXPECT_EQ(ui.questions[0].text, std::string(shapefile ? "SHP-файл" : "FeatureClass") +
                                                " для хранения полигонов не существует\r\n" +
                                                shown.string() + "\r\nСоздать новый?");
            EXPECT_TRUE(ui.messages.empty());
        }
        GDALDatasetUniquePtr dataset(
            GDALDataset::Open((dir / format.source).c_str(), GDAL_OF_VECTOR));
        ASSERT_TRUE(dataset);
        OGRLayer *layer = shapefile ? dataset->GetLayer(0) : dataset->GetLayerByName(format.layer);
        ASSERT_NE(layer, nullptr);
        ASSERT_NE(layer->GetSpatialRef(), nullptr);
        EXPECT_TRUE(layer->GetSpatialRef()->IsSame(&sphere));
        const auto flat = wkbFlatten(layer->GetGeomType());
        EXPECT_TRUE(flat == wkbPolygon || flat == wkbMultiPolygon);
        const OGRFeatureDefn *defn = layer->GetLayerDefn();
        ASSERT_EQ(defn->GetFieldCount(), 9);
        const std::tuple<const char *, OGRFieldType, int> fields[] = {
            {"blockName", OFTString, 254}, {"Service", OFTString, 10}, {"Version", OFTString, 10},
            {"blockType", OFTString, 3},   {"Xm", OFTReal, 19},        {"Ym", OFTReal, 19},
            {"Resolution", OFTReal, 19},   {"Zoom", OFTInteger, 2},    {"Present", OFTInteger, 2}};
        for (int i = 0; i < 9; ++i) {
            const auto &[name, type, width] = fields[i];
            EXPECT_STREQ(defn->GetFieldDefn(i)->GetNameRef(), name);
            EXPECT_EQ(defn->GetFieldDefn(i)->GetType(), type) << name;
            EXPECT_TRUE(defn->GetFieldDefn(i)->IsNullable()) << name;
            if (shapefile) { // the widths a dBase table keeps (text at most 254)
                EXPECT_EQ(defn->GetFieldDefn(i)->GetWidth(), width) << name;
            }
        }
        if (shapefile) {
            EXPECT_EQ(defn->GetFieldDefn(4)->GetPrecision(), 9);
        }
        dataset.reset();

        test::RecordingUi again; // opened again: no question, no field added twice
        auto reopened = mapout::OpenPolygonFC(path, again);
        ASSERT_TRUE(reopened);
        EXPECT_TRUE(again.questions.empty() && again.messages.empty());
        EXPECT_EQ(reopened->Layer().GetLayerDefn()->GetFieldCount(), 9);
    }
}

TEST(OpenPolygonFC, ShapefileNamesAreNormalisedAndNoClearsThePath) {
    test::TempDir dir;
    fs::path path = dir / "blocks.dbf";
    test::RecordingUi ui;
    ui.answers = {true, true};
    ASSERT_TRUE(mapout::OpenPolygonFC(path, ui));
    EXPECT_EQ(path, dir / "blocks.shp");
    EXPECT_TRUE(fs::exists(dir / "blocks.shp"));
    // "SHP" in capitals stays as typed; GDAL writes lower case and finds the files again.
    fs::path upper = dir / "B.SHP";
    ASSERT_TRUE(mapout::OpenPolygonFC(upper, ui));
    ASSERT_TRUE(mapout::OpenPolygonFC(upper, ui));
    EXPECT_EQ(upper, dir / "B.SHP");
    EXPECT_EQ(ui.questions.size(), 2u);

    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.label);
        test::TempDir empty;
        fs::path refused = empty / format.indexPath;
        test::RecordingUi no;
        no.answers = {false};
        EXPECT_FALSE(mapout::OpenPolygonFC(refused, no));
        EXPECT_TRUE(refused.empty());
        EXPECT_EQ(no.questions.size(), 1u);
        ASSERT_EQ(no.messages.size(), 1u);
        EXPECT_EQ(no.messages[0].text, std::string("Не открылся FeatureClass blocks") +
                                           (&format == &kFormats[0] ? ".shp" : ""));
        EXPECT_TRUE(fs::is_empty(empty.Path()));
    }
}

TEST(OpenPolygonFC, WorkspacesThatCannotHoldOrReadTheIndexAreNeverOverwritten) {
    test::TempDir dir;
    const std::string noWorkspace =
        "Не открылась рабочая область для сохранения полигинов!\r\nblocks";
    fs::path missing = dir / "missing" / "blocks";
    test::RecordingUi ui;
    EXPECT_FALSE(mapout::OpenPolygonFC(missing, ui));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, noWorkspace);

    test::WriteText(dir / "table.csv", "a,b\n1,2\n");
    fs::path csv = dir / "table.csv" / "blocks";
    test::RecordingUi ui2;
    EXPECT_FALSE(mapout::OpenPolygonFC(csv, ui2));
    ASSERT_EQ(ui2.messages.size(), 2u);
    EXPECT_EQ(ui2.messages[0].text, "не поддерживается данный тип рабочей области");
    EXPECT_EQ(ui2.messages[1].text, "Не открылся FeatureClass blocks");

    // Corrupt files: reported, no question, left as they are.
    test::WriteText(dir / "blocks.shp", "not a shapefile");
    test::WriteText(dir / "index.gpkg", "not a database");
    fs::path shp = dir / "blocks";
    fs::path gpkg = dir / "index.gpkg" / "blocks";
    test::RecordingUi ui3;
    ui3.answers = {true, true};
    EXPECT_FALSE(mapout::OpenPolygonFC(shp, ui3));
    EXPECT_FALSE(mapout::OpenPolygonFC(gpkg, ui3));
    EXPECT_TRUE(ui3.questions.empty());
    ASSERT_EQ(ui3.messages.size(), 3u);
    EXPECT_EQ(ui3.messages[0].title, kReportTitle);
    EXPECT_NE(ui3.messages[0].text.find("\tOpenPolygonFC  \r\n"), std::string::npos);
    EXPECT_NE(ui3.messages[0].text.find("The shapefile " + (dir / "blocks.shp").string() +
                                        " cannot be opened"),
              std::string::npos);
    EXPECT_EQ(ui3.messages[1].text, "Не открылся FeatureClass blocks.shp");
    EXPECT_EQ(ui3.messages[2].text, noWorkspace);
    EXPECT_EQ(test::ReadText(dir / "blocks.shp"), "not a shapefile");
    EXPECT_EQ(test::ReadText(dir / "index.gpkg"), "not a database");
    EXPECT_EQ(test::ReadText(dir / "table.csv"), "a,b\n1,2\n");
}

TEST(OpenPolygonFC, ExistingIndexGetsOnlyTheFieldsItLacks) {
    test::TempDir dir;
    test::RecordingUi ui;
    { // a shapefile whose fields differ in case and width, with one of its own
        auto shp = mapout::CreateShapeFC(dir.Path(), "old", wkbPolygon, false, false, nullptr);
        ASSERT_TRUE(shp);
        using mapout::FieldType;
        ASSERT_TRUE(mapout::AddField(*shp, "BLOCKNAME", true, FieldType::Text, 50, 0, 0, true, ui));
        ASSERT_TRUE(mapout::AddField(*shp, "note", true, FieldType::Text, 20, 0, 0, true, ui));
        ASSERT_TRUE(mapout::AddField(*shp, "present", true, FieldType::Integer, 1, 0, 0, true, ui));
    }
    { // a File Geodatabase feature class with some of the fields
        auto fc = mapout::CreateDbFC(mapout::CreateDbWorkspace(dir / "old.gdb"), "blocks",
                                     wkbPolygon, false, false, nullptr);
        ASSERT_TRUE(
            mapout::AddField(fc, "Xm", true, mapout::FieldType::Double, 17, 17, 9, true, ui));
    }
    const std::pair<fs::path, std::vector<std::string>> cases[] = {
        {dir / "old",
         {"BLOCKNAME", "note", "present", "Service", "Version", "blockType", "Xm", "Ym",
          "Resolution", "Zoom"}},
        {dir / "old.gdb" / "blocks",
         {"Xm", "blockName", "Service", "Version", "blockType", "Ym", "Resolution", "Zoom",
          "Present"}}};
    for (const auto &[index, expected] : cases) {
        fs::path path = index;
        auto fc = mapout::OpenPolygonFC(path, ui);
        ASSERT_TRUE(fc) << index;
        const OGRFeatureDefn *defn = fc->Layer().GetLayerDefn();
        std::vector<std::string> names;
        for (int i = 0; i < defn->GetFieldCount(); ++i) {
            names.emplace_back(defn->GetFieldDefn(i)->GetNameRef());
        }
        EXPECT_EQ(names, expected) << index;
    }
    EXPECT_TRUE(ui.questions.empty() && ui.messages.empty());
    const GDALDatasetUniquePtr shp(GDALDataset::Open((dir / "old.shp").c_str(), GDAL_OF_VECTOR));
    ASSERT_TRUE(shp);
    EXPECT_EQ(shp->GetLayer(0)->GetLayerDefn()->GetFieldDefn(0)->GetWidth(), 50);

    // Its Present of width 1 cannot hold -1: refused before anything is written.
    fs::path path = dir / "old.shp";
    auto old = mapout::OpenPolygonFC(path, ui);
    ASSERT_TRUE(old);
    EXPECT_FALSE(
        Record(*old, dir.Path(), {Named("t", 0)}, TilesType::GoogleSat, 14, "Goo", ui).completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].text.find("The field Present of the block index old is too narrow"),
              std::string::npos);
    EXPECT_EQ(old->Layer().GetFeatureCount(), 0);
}

TEST(AddPolygonFC, FirstRunRecordsEveryTileAndLaterRunsRefreshOnlyPresent) {
    const auto type = TilesType::GoogleMap;
    const int level = 13;
    const auto list = test::MoscowTiles(type, level);
    ASSERT_GE(list.size(), 4u);
    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.label);
        test::TempDir dir;
        const fs::path tiles = dir / "tiles";
        std::vector<test::BlockRow> expected;
        for (std::size_t i = 0; i < list.size(); ++i) { // every other tile was downloaded
            if (i % 2 == 0) {
                test::WriteImage(tiles::TilePath(tiles, type, list[i], level), true);
            }
            expected.push_back(Expected(type, list[i], level, "Goo", "m2", i % 2 == 0 ? -1 : 0));
        }
        auto index = OpenIndex(dir, format);
        ASSERT_TRUE(index);
        test::RecordingUi ui;
        const auto first = Record(*index, tiles, list, type, level, "Goo", ui);
        EXPECT_TRUE(first.completed);
        EXPECT_EQ(first.added, static_cast<std::int64_t>(list.size()));
        EXPECT_EQ(ui.labels, (std::vector<std::string>{"Create Geometry",
                                                       "Add to Polygon Feature class", ""}));
        EXPECT_EQ(ui.lastMaximum, 0);
        test::ExpectSameRows(expected, Rows(dir, format), format.ringTolerance);

        // The rest arrives, one goes away; the next run comes with other versions.
        for (std::size_t i = 0; i < list.size(); ++i) {
            test::WriteImage(tiles::TilePath(tiles, type, list[i], level), true);
            expected[i].present = -1;
        }
        fs::remove(tiles::TilePath(tiles, type, list[0], level));
        expected[0].present = 0;
        const auto second = Record(*index, tiles, list, type, level, "Goo", ui, {"9", "9", "9"});
        EXPECT_EQ(second.added, 0);
        EXPECT_EQ(second.refreshed, static_cast<std::int64_t>(list.size() / 2) + 1);
        EXPECT_EQ(second.unchanged, static_cast<std::int64_t>(list.size() - list.size() / 2) - 1);
        test::ExpectSameRows(expected, Rows(dir, format), format.ringTolerance);
        EXPECT_TRUE(ui.messages.empty());
    }
}

TEST(AddPolygonFC, EllipsoidalTilesStartOneTileHeightUpAndAreTransformed) {
    test::TempDir dir;
    auto index = OpenIndex(dir, kGeoPackage); // in Sphere Mercator
    ASSERT_TRUE(index);
    const int level = 12;
    test::RecordingUi ui;
    std::vector<test::BlockRow> expected;
    for (const auto &[type, service] :
         {std::pair{TilesType::ScanSat, "Scan"}, std::pair{TilesType::YandMap, "Yand"}}) {
        const auto list = test::MoscowTiles(type, level);
        EXPECT_EQ(Record(*index, dir.Path(), list, type, level, service, ui).added,
                  static_cast<std::int64_t>(list.size()));
        for (const auto &record : list) {
            expected.push_back(Expected(type, record, level, service, "05.12.2026", 0));
        }
    }
    // A Google tile with the very same list values is not moved up.
    tiles::TileRecord google = test::MoscowTiles(TilesType::ScanSat, level)[0];
    google.name.Assign("tqq");
    EXPECT_EQ(Record(*index, dir.Path(), {google}, TilesType::GoogleSat, level, "Goo", ui).added,
              1);
    expected.push_back(Expected(TilesType::GoogleSat, google, level, "Goo", "125", 0));
    EXPECT_EQ(expected.back().ym, google.y - google.resY / 2);
    EXPECT_EQ(expected.front().ym, google.y + 256 * ResN(level) + ResN(level) / 2);

    // The fields keep the source's metres; the World Mercator rings of ScanEx and Yandex are
    // transformed into the index's Sphere Mercator and cover the same ground.
    auto rows = Rows(dir, kGeoPackage);
    ASSERT_EQ(rows.size(), expected.size());
    for (auto &row : rows) {
        auto want = std::find_if(expected.begin(), expected.end(),
                                 [&](const auto &e) { return e.blockName == row.blockName; });
        ASSERT_NE(want, expected.end());
        ASSERT_EQ(row.ring.size(), 5u);
        if (want->service != "Goo") {
            for (std::size_t i = 0; i < 5; ++i) {
                const auto a = test::WorldMercatorToGeo(want->ring[i].first, want->ring[i].second);
                const auto b = test::SphereMercatorToGeo(row.ring[i].first, row.ring[i].second);
                EXPECT_NEAR(b.lon, a.lon, 1e-9) << row.blockName << " " << i;
                EXPECT_NEAR(b.lat, a.lat, 1e-9) << row.blockName << " " << i;
            }
            want->ring = row.ring;
        }
    }
    test::ExpectSameRows(expected, rows);
    EXPECT_TRUE(ui.messages.empty());
}

// Sources sharing a block name get their own records; relief tiles count as present only in
// their row folders.
TEST(AddPolygonFC, SourcesSharingABlockNameGetTheirOwnRecords) {
    test::TempDir dir;
    auto index = OpenIndex(dir, kShapefile);
    ASSERT_TRUE(index);
    const int level = 13;
    // Google map and landscape tiles share the names column_row.
    const auto maps = test::MoscowTiles(TilesType::GoogleMap, level);
    const auto sats = test::MoscowTiles(TilesType::GoogleSat, level);
    for (const auto &record : maps) {
        test::WriteImage(tiles::TilePath(dir.Path(), TilesType::GoogleMap, record, level), true);
    }
    test::RecordingUi ui;
    for (int pass = 0; pass < 2; ++pass) { // the second pass adds nothing
        const std::int64_t n = pass == 0 ? static_cast<std::int64_t>(maps.size()) : 0;
        EXPECT_EQ(Record(*index, dir.Path(), maps, TilesType::GoogleMap, level, "Goo", ui).added,
                  n);
        EXPECT_EQ(Record(*index, dir.Path(), maps, TilesType::GoogleLand, level, "Goo", ui).added,
                  n);
        // The same names under two source names.
        EXPECT_EQ(Record(*index, dir.Path(), sats, TilesType::GoogleSat, level, "Goo", ui).added,
                  n);
        EXPECT_EQ(Record(*index, dir.Path(), sats, TilesType::GoogleSat, level, "Mirror", ui).added,
                  n);
    }
    std::vector<test::BlockRow> expected;
    for (std::size_t i = 0; i < maps.size(); ++i) {
        expected.push_back(Expected(TilesType::GoogleMap, maps[i], level, "Goo", "m2", -1));
        expected.push_back(Expected(TilesType::GoogleLand, maps[i], level, "Goo", "t3", 0));
        expected.push_back(Expected(TilesType::GoogleSat, sats[i], level, "Goo", "125", 0));
        expected.push_back(Expected(TilesType::GoogleSat, sats[i], level, "Mirror", "125", 0));
    }
    const auto relief = test::MoscowTiles(TilesType::Shade, 9);
    ASSERT_GE(relief.size(), 2u);
    test::WriteImage(tiles::TilePath(dir.Path(), TilesType::Shade, relief[0], 9), false);
    // The second lies in the level folder itself, where relief tiles do not belong.
    test::WriteImage(dir / (tiles::TileBaseName(TilesType::Shade, relief[1], 9) + ".jpg"), false);
    Record(*index, dir.Path(), relief, TilesType::Shade, 9, "Shade", ui);
    for (std::size_t i = 0; i < relief.size(); ++i) {
        expected.push_back(
            Expected(TilesType::Shade, relief[i], 9, "Shade", "05.12.2026", i == 0 ? -1 : 0));
    }
    test::ExpectSameRows(expected, Rows(dir, kShapefile));
    EXPECT_TRUE(ui.messages.empty());
}

TEST(AddPolygonFC, NamesWithQuotesRepeatedTilesAndLongTextsKeepOneRecordEach) {
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

        // Each value is one quoted literal: found exactly, never widening the query.
        EXPECT_EQ(mapout::BlockWhereClause(index->Layer(), "a'b", "Goo", "sat"),
                  "\"blockName\" = 'a''b' AND \"Service\" = 'Goo' AND \"blockType\" = 'sat'");
        for (const auto &record : list) {
            const auto where =
                mapout::BlockWhereClause(index->Layer(), record.name.View(), "Goo", "sat");
            const auto found = mapout::FindFeatureByWhere(*index, where);
            ASSERT_TRUE(found) << where;
            EXPECT_EQ(std::string(found->GetFieldAsString("blockName")), record.name.Str());
        }
        for (const char *probe : {"b' OR '1'='1", "a''b"}) {
            EXPECT_FALSE(mapout::FindFeatureByWhere(
                *index, mapout::BlockWhereClause(index->Layer(), probe, "Goo", "sat")));
        }
        EXPECT_FALSE(mapout::FindFeatureByWhere(*index, "blockName = = 'a")); // no parse
        EXPECT_EQ(index->Layer().GetFeatureCount(), 3);                       // unfiltered again

        // Texts longer than their field are cut alike, so the cut name (a blank at its end)
        // finds its record on the next run.
        const std::vector<tiles::TileRecord> cut{Named("t", 0)};
        for (int run = 0; run < 2; ++run) {
            EXPECT_EQ(Record(*index, dir.Path(), cut, TilesType::GoogleSat, 14, "Mirror of Goo", ui,
                             {"m@249000000", "", ""})
                          .added,
                      run == 0 ? 1 : 0);
        }
        EXPECT_TRUE(ui.messages.empty());
        test::ExpectSameRows(
            {Expected(TilesType::GoogleSat, list[0], 14, "Goo", "125", -1),
             Expected(TilesType::GoogleSat, list[1], 14, "Goo", "125", 0),
             Expected(TilesType::GoogleSat, list[2], 14, "Goo", "125", 0),
             Expected(TilesType::GoogleSat, cut[0], 14, "Mirror of", "m@24900000", 0)},
            Rows(dir, format), format.ringTolerance);
    }
}

TEST(AddPolygonFC, ErrorsEndTheRunAndKeepTheRecordsBeforeThem) {
    // A list that breaks at its third tile, into a GeoPackage (one transaction per run).
    test::TempDir dir;
    auto index = OpenIndex(dir, kGeoPackage);
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
    const auto summary = mapout::AddPolygonFC(dir.Path(), &*index, std::move(breaking),
                                              TilesType::GoogleSat, 14, "Goo", kVersions, ui);
    EXPECT_FALSE(summary.completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              ComposeMessageReport("AddPolygonFC  ", 5, "The tile list broke off"));
    EXPECT_EQ(ui.labels.back(), "");
    index.reset();
    EXPECT_EQ(Rows(dir, kGeoPackage).size(), 2u);

    // A value a shapefile cannot hold ends the run instead of leaving a wrong record.
    auto shp = OpenIndex(dir, kShapefile);
    ASSERT_TRUE(shp);
    test::RecordingUi ui2;
    const auto wide = Record(*shp, dir.Path(), {Named("w1", 0), Named("w2", 1e12), Named("w3", 0)},
                             TilesType::GoogleSat, 14, "Goo", ui2);
    EXPECT_FALSE(wide.completed);
    ASSERT_EQ(ui2.messages.size(), 1u);
    EXPECT_NE(ui2.messages[0].text.find("\tAddPolygonFC  \r\n"), std::string::npos);
    EXPECT_NE(ui2.messages[0].text.find("The record of tile w2 cannot be added in blocks: "),
              std::string::npos);
    shp.reset();
    const auto rows = Rows(dir, kShapefile);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].blockName, "w1");

    // An index without the block fields; no index; a type outside the table.
    auto bare = mapout::CreateDbFC(mapout::CreateDbWorkspace(dir / "bare.gpkg"), "bare", wkbPolygon,
                                   false, false, nullptr);
    test::RecordingUi ui3;
    EXPECT_FALSE(Record(bare, dir.Path(), list, TilesType::GoogleSat, 14, "Goo", ui3).completed);
    ASSERT_EQ(ui3.messages.size(), 1u);
    EXPECT_EQ(ui3.messages[0].text,
              ComposeMessageReport("AddPolygonFC  ", 1001,
                                   "The block index bare has no field blockName"));
    test::RecordingUi ui4;
    EXPECT_FALSE(mapout::AddPolygonFC(dir.Path(), nullptr, TileSequence::FromList(list),
                                      TilesType::GoogleSat, 14, "Goo", kVersions, ui4)
                     .completed);
    EXPECT_FALSE(
        Record(bare, dir.Path(), list, static_cast<TilesType>(5), 14, "Goo", ui4).completed);
    EXPECT_TRUE(ui4.messages.empty() && ui4.labels.empty());
    EXPECT_EQ(bare.Layer().GetFeatureCount(), 0);
}
