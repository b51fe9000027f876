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
    const char *indexPath;
    const char *source;
    const char *layer;
    double ringTolerance; ///< a File Geodatabase keeps vertices on a 0.1 mm grid
};
constexpr IndexFormat kShapefile{"blocks", "blocks.shp", "", 1e-6};
constexpr IndexFormat kGeoPackage{"index.gpkg/blocks", "index.gpkg", "blocks", 1e-6};
constexpr IndexFormat kFormats[] = {
    kShapefile, kGeoPackage, {"index.gdb/blocks", "index.gdb", "blocks", 1e-4}};

// Opens the index of a format, creating it (and its database) on the first call.
std::optional<FeatureClass> OpenIndex(const test::TempDir &dir, const IndexFormat &format) {
    test::RecordingUi ui;
    ui.answers = {true};
    fs::path path = dir / format.indexPath;
    auto index = mapout::OpenPolygonFC(path, ui);
    EXPECT_TRUE(index && ui.messages.empty()) << format.indexPath;
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

std::vector<std::string> FieldNames(OGRLayer &layer) {
    std::vector<std::string> names;
    for (int i = 0; i < layer.GetLayerDefn()->GetFieldCount(); ++i) {
        names.emplace_back(layer.GetLayerDefn()->GetFieldDefn(i)->GetNameRef());
    }
    return names;
}

} // namespace

// A missing index is offered for creation: No clears the path and creates nothing; Yes creates
// it in Sphere Mercator with the nine block fields, which a later opening neither asks for nor
// adds again. Shapefile names get the extension ".shp" (an "SHP" in capitals stays).
TEST(OpenPolygonFC, CreatesAMissingIndexWhenAskedWithTheBlockFields) {
    const std::pair<const char *, const char *> names[] = {{"blocks", "blocks.shp"},
                                                           {"blocks.dbf", "blocks.shp"},
                                                           {"my.blocks.txt", "my.blocks.shp"},
                                                           {"b.sHp", "b.sHp"},
                                                           {"b.shpx", "b.shp"}};
    for (const auto &[name, normalised] : names) {
        EXPECT_EQ(mapout::NormaliseShapeName(name), normalised);
    }
    const auto sphere = mapout::SetProjectedCoordSystem(mapout::kSphereMercator);
    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.indexPath);
        test::TempDir dir; // the GeoPackage and the File Geodatabase do not exist yet either
        const bool shapefile = &format == &kFormats[0];
        fs::path path = dir / format.indexPath;
        const fs::path shown = shapefile ? dir / "blocks.shp" : path;
        test::RecordingUi ui;
        ui.answers = {false, true};
        EXPECT_FALSE(mapout::OpenPolygonFC(path, ui));
        EXPECT_TRUE(path.empty());
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_EQ(ui.messages[0].text,
                  std::string("Не открылся FeatureClass blocks") + (shapefile ? ".shp" : ""));
        EXPECT_TRUE(fs::is_empty(dir.Path()));
        path = dir / format.indexPath;
        ASSERT_TRUE(mapout::OpenPolygonFC(path, ui));
        EXPECT_EQ(path, shown);
        ASSERT_EQ(ui.questions.size(), 2u);
        EXPECT_EQ(ui.questions[1].question, Question::CreateIndex);
        EXPECT_EQ(ui.questions[1].text, std::string(shapefile ? "SHP-файл" : "FeatureClass") +
                                            " для хранения полигонов не существует\r\n" +
                                            shown.string() + "\r\nСоздать новый?");
        EXPECT_EQ(ui.messages.size(), 1u);

        GDALDatasetUniquePtr dataset(
            GDALDataset::Open((dir / format.source).c_str(), GDAL_OF_VECTOR));
        ASSERT_TRUE(dataset);
        OGRLayer *layer = shapefile ? dataset->GetLayer(0) : dataset->GetLayerByName(format.layer);
        ASSERT_TRUE(layer && layer->GetSpatialRef());
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
            const OGRFieldDefn &field = *defn->GetFieldDefn(i);
            EXPECT_STREQ(field.GetNameRef(), name);
            EXPECT_EQ(field.GetType(), type) << name;
            EXPECT_TRUE(field.IsNullable()) << name;
            // The widths a dBase table keeps (text at most 254).
            EXPECT_TRUE(!shapefile || field.GetWidth() == width) << name;
            EXPECT_TRUE(!shapefile || field.GetPrecision() == (type == OFTReal ? 9 : 0)) << name;
        }
        dataset.reset();
        auto reopened = mapout::OpenPolygonFC(path, ui);
        ASSERT_TRUE(reopened);
        EXPECT_EQ(ui.questions.size(), 2u);
        EXPECT_EQ(reopened->Layer().GetLayerDefn()->GetFieldCount(), 9);
    }
    // "SHP" in capitals stays as typed; GDAL writes lower case and finds the files again.
    test::TempDir dir;
    fs::path upper = dir / "B.SHP";
    test::RecordingUi ui;
    ui.answers = {true};
    ASSERT_TRUE(mapout::OpenPolygonFC(upper, ui));
    ASSERT_TRUE(mapout::OpenPolygonFC(upper, ui));
    EXPECT_EQ(upper, dir / "B.SHP");
    EXPECT_EQ(ui.questions.size(), 1u);
}

TEST(OpenPolygonFC, WorkspacesThatCannotHoldOrReadTheIndexAreNeverOverwritten) {
    test::TempDir dir;
    const std::string noWorkspace =
        "Не открылась рабочая область для сохранения полигинов!\r\nblocks";
    test::WriteText(dir / "table.csv", "a,b\n1,2\n");
    test::WriteText(dir / "blocks.shp", "not a shapefile");
    test::WriteText(dir / "index.gpkg", "not a database");
    const auto before = test::FolderBytes(dir.Path());
    test::RecordingUi ui;
    ui.answers = {true, true, true, true};
    for (const fs::path &path : {dir / "missing" / "blocks", dir / "table.csv" / "blocks",
                                 dir / "blocks", dir / "index.gpkg" / "blocks"}) {
        fs::path typed = path;
        EXPECT_FALSE(mapout::OpenPolygonFC(typed, ui)) << path;
    }
    EXPECT_TRUE(ui.questions.empty());
    ASSERT_EQ(ui.messages.size(), 6u);
    EXPECT_EQ(ui.messages[0].text, noWorkspace);
    EXPECT_EQ(ui.messages[1].text, "не поддерживается данный тип рабочей области");
    EXPECT_EQ(ui.messages[2].text, "Не открылся FeatureClass blocks");
    // A corrupt shapefile is reported, not offered for replacement.
    EXPECT_EQ(ui.messages[3].title, kReportTitle);
    EXPECT_NE(ui.messages[3].text.find("\tOpenPolygonFC  \r\n"), std::string::npos);
    EXPECT_NE(ui.messages[3].text.find("The shapefile " + (dir / "blocks.shp").string() +
                                       " cannot be opened"),
              std::string::npos);
    EXPECT_EQ(ui.messages[4].text, "Не открылся FeatureClass blocks.shp");
    EXPECT_EQ(ui.messages[5].text, noWorkspace);
    EXPECT_EQ(test::FolderBytes(dir.Path()), before);
}

// An index made elsewhere gets only the block fields it lacks, found without regard to case;
// one whose Present cannot hold -1 is refused before anything is written.
TEST(OpenPolygonFC, ExistingIndexGetsOnlyTheFieldsItLacks) {
    test::TempDir dir;
    test::RecordingUi ui;
    using mapout::FieldType;
    {
        auto shp = mapout::CreateShapeFC(dir.Path(), "old", wkbPolygon, false, false, nullptr);
        ASSERT_TRUE(shp);
        ASSERT_TRUE(mapout::AddField(*shp, "BLOCKNAME", true, FieldType::Text, 50, 0, 0, true, ui));
        ASSERT_TRUE(mapout::AddField(*shp, "note", true, FieldType::Text, 20, 0, 0, true, ui));
        ASSERT_TRUE(mapout::AddField(*shp, "present", true, FieldType::Integer, 1, 0, 0, true, ui));
        auto fc = mapout::CreateDbFC(mapout::CreateDbWorkspace(dir / "old.gdb"), "blocks",
                                     wkbPolygon, false, false, nullptr);
        ASSERT_TRUE(mapout::AddField(fc, "Xm", true, FieldType::Double, 17, 17, 9, true, ui));
    }
    fs::path shpPath = dir / "old";
    auto shp = mapout::OpenPolygonFC(shpPath, ui);
    ASSERT_TRUE(shp);
    EXPECT_EQ(FieldNames(shp->Layer()),
              (std::vector<std::string>{"BLOCKNAME", "note", "present", "Service", "Version",
                                        "blockType", "Xm", "Ym", "Resolution", "Zoom"}));
    EXPECT_EQ(shp->Layer().GetLayerDefn()->GetFieldDefn(0)->GetWidth(), 50);
    fs::path gdbPath = dir / "old.gdb" / "blocks";
    auto gdb = mapout::OpenPolygonFC(gdbPath, ui);
    ASSERT_TRUE(gdb);
    EXPECT_EQ(FieldNames(gdb->Layer()),
              (std::vector<std::string>{"Xm", "blockName", "Service", "Version", "blockType", "Ym",
                                        "Resolution", "Zoom", "Present"}));
    EXPECT_TRUE(ui.questions.empty() && ui.messages.empty());

    EXPECT_FALSE(
        Record(*shp, dir.Path(), {Named("t", 0)}, TilesType::GoogleSat, 14, "Goo", ui).completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].text.find("The field Present of the block index old is too narrow"),
              std::string::npos);
    EXPECT_EQ(shp->Layer().GetFeatureCount(), 0);
}

// A first run records every tile, once; a later run refreshes Present alone. Names with quotes
// are found exactly, and texts longer than their field are cut alike, so that a later run finds
// them again.
TEST(AddPolygonFC, FirstRunRecordsEveryTileAndLaterRunsRefreshOnlyPresent) {
    const auto type = TilesType::GoogleSat;
    const int level = 13;
    auto list = test::MoscowTiles(type, level);
    ASSERT_GE(list.size(), 4u);
    list.insert(list.end(), {Named("a'b", 0), Named("x' OR '1'='1", 2000), Named("a'b", 0)});
    const std::size_t distinct = list.size() - 1;
    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.indexPath);
        test::TempDir dir;
        const fs::path tiles = dir / "tiles";
        std::vector<test::BlockRow> expected;
        for (std::size_t i = 0; i < distinct; ++i) { // every other tile was downloaded
            if (i % 2 == 0) {
                test::WriteImage(tiles::TilePath(tiles, type, list[i], level), false);
            }
            expected.push_back(Expected(type, list[i], level, "Goo", "125", i % 2 == 0 ? -1 : 0));
        }
        auto index = OpenIndex(dir, format);
        ASSERT_TRUE(index);
        test::RecordingUi ui;
        const auto first = Record(*index, tiles, list, type, level, "Goo", ui);
        EXPECT_TRUE(first.completed);
        EXPECT_EQ(first.added, static_cast<std::int64_t>(distinct));
        EXPECT_EQ(first.unchanged, 1); // the repeated tile
        EXPECT_EQ(ui.labels, (std::vector<std::string>{"Create Geometry",
                                                       "Add to Polygon Feature class", ""}));
        EXPECT_EQ(ui.lastMaximum, 0);
        test::ExpectSameRows(expected, Rows(dir, format), format.ringTolerance);

        // The rest arrives, one goes away; the next run comes with other versions.
        for (std::size_t i = 0; i < distinct; ++i) {
            test::WriteImage(tiles::TilePath(tiles, type, list[i], level), false);
            expected[i].present = -1;
        }
        fs::remove(tiles::TilePath(tiles, type, list[0], level));
        expected[0].present = 0;
        const auto second = Record(*index, tiles, list, type, level, "Goo", ui, {"9", "9", "9"});
        EXPECT_EQ(second.added, 0);
        EXPECT_EQ(second.refreshed, static_cast<std::int64_t>(distinct / 2) + 1);
        EXPECT_EQ(second.unchanged, static_cast<std::int64_t>(list.size() - distinct / 2) - 1);

        // Each value is one quoted literal: found exactly, never widening the query.
        EXPECT_EQ(mapout::BlockWhereClause(index->Layer(), "a'b", "Goo", "sat"),
                  "\"blockName\" = 'a''b' AND \"Service\" = 'Goo' AND \"blockType\" = 'sat'");
        for (const char *probe : {"b' OR '1'='1", "a''b"}) {
            EXPECT_FALSE(mapout::FindFeatureByWhere(
                *index, mapout::BlockWhereClause(index->Layer(), probe, "Goo", "sat")));
        }
        EXPECT_FALSE(mapout::FindFeatureByWhere(*index, "blockName = = 'a")); // no parse
        EXPECT_EQ(index->Layer().GetFeatureCount(), static_cast<GIntBig>(distinct));

        // Texts longer than their field: the cut name (a blank at its end) is found again.
        for (int run = 0; run < 2; ++run) {
            EXPECT_EQ(Record(*index, dir.Path(), {Named("t", 0)}, TilesType::GoogleSat, 14,
                             "Mirror of Goo", ui, {"m@249000000", "", ""})
                          .added,
                      run == 0 ? 1 : 0);
        }
        expected.push_back(
            Expected(TilesType::GoogleSat, Named("t", 0), 14, "Mirror of", "m@24900000", 0));
        test::ExpectSameRows(expected, Rows(dir, format), format.ringTolerance);
        EXPECT_TRUE(ui.messages.empty());
    }
}

// ScanEx and Yandex records start one tile height up and their World Mercator rings are
// transformed into the index's Sphere Mercator; a Google tile with the very same list values
// is not moved. Sources sharing block names (map and landscape, one type under two source
// names) get their own records, and relief tiles count as present only in their row folders.
TEST(AddPolygonFC, EachSourceAndTypeGetsItsOwnRecordsInItsPlace) {
    test::TempDir dir;
    auto index = OpenIndex(dir, kGeoPackage); // in Sphere Mercator
    ASSERT_TRUE(index);
    test::RecordingUi ui;
    std::vector<test::BlockRow> expected;
    auto record = [&](const std::vector<tiles::TileRecord> &list, TilesType type, int level,
                      const char *service, const char *version, int presentUpTo = 0) {
        EXPECT_EQ(Record(*index, dir.Path(), list, type, level, service, ui).added,
                  static_cast<std::int64_t>(list.size()));
        for (std::size_t i = 0; i < list.size(); ++i) {
            const int present = static_cast<int>(i) < presentUpTo ? -1 : 0;
            expected.push_back(Expected(type, list[i], level, service, version, present));
        }
    };
    record(test::MoscowTiles(TilesType::ScanSat, 12), TilesType::ScanSat, 12, "Scan", "05.12.2026");
    record(test::MoscowTiles(TilesType::YandMap, 12), TilesType::YandMap, 12, "Yand", "05.12.2026");
    tiles::TileRecord google = test::MoscowTiles(TilesType::ScanSat, 12)[0];
    google.name.Assign("tqq");
    record({google}, TilesType::GoogleSat, 12, "Goo", "125");
    EXPECT_EQ(expected.back().ym, google.y - google.resY / 2);
    EXPECT_EQ(expected.front().ym, google.y + 256 * ResN(12) + ResN(12) / 2);

    const auto maps = test::MoscowTiles(TilesType::GoogleMap, 13);
    for (const auto &tile : maps) {
        test::WriteImage(tiles::TilePath(dir.Path(), TilesType::GoogleMap, tile, 13), true);
    }
    record(maps, TilesType::GoogleMap, 13, "Goo", "m2", static_cast<int>(maps.size()));
    record(maps, TilesType::GoogleLand, 13, "Goo", "t3");
    record({google}, TilesType::GoogleSat, 12, "Mirror", "125");
    const auto relief = test::MoscowTiles(TilesType::Shade, 9);
    ASSERT_GE(relief.size(), 2u);
    test::WriteImage(tiles::TilePath(dir.Path(), TilesType::Shade, relief[0], 9), false);
    // The second lies in the level folder itself, where relief tiles do not belong.
    test::WriteImage(dir / (tiles::TileBaseName(TilesType::Shade, relief[1], 9) + ".jpg"), false);
    record(relief, TilesType::Shade, 9, "Shade", "05.12.2026", 1);
    EXPECT_EQ(Record(*index, dir.Path(), maps, TilesType::GoogleLand, 13, "Goo", ui).added, 0);

    // The fields keep the source's metres; the rings of ScanEx and Yandex cover the same ground
    // in the index's system.
    auto rows = Rows(dir, kGeoPackage);
    ASSERT_EQ(rows.size(), expected.size());
    for (auto &row : rows) {
        auto want = std::find_if(expected.begin(), expected.end(), [&](const auto &e) {
            return e.blockName == row.blockName && e.service == row.service &&
                   e.blockType == row.blockType;
        });
        ASSERT_NE(want, expected.end());
        ASSERT_EQ(row.ring.size(), 5u);
        if (want->service == "Scan" || want->service == "Yand") {
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
    EXPECT_FALSE(mapout::AddPolygonFC(dir.Path(), &*index, std::move(breaking),
                                      TilesType::GoogleSat, 14, "Goo", kVersions, ui)
                     .completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              ComposeMessageReport("AddPolygonFC  ", 5, "The tile list broke off"));
    EXPECT_EQ(ui.labels.back(), "");
    index.reset();
    EXPECT_EQ(Rows(dir, kGeoPackage).size(), 2u);

    // A value a shapefile cannot hold ends the run instead of leaving a wrong record.
    auto shp = OpenIndex(dir, kShapefile);
    ASSERT_TRUE(shp);
    ui.messages.clear();
    EXPECT_FALSE(Record(*shp, dir.Path(), {Named("w1", 0), Named("w2", 1e12), Named("w3", 0)},
                        TilesType::GoogleSat, 14, "Goo", ui)
                     .completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].text.find("\tAddPolygonFC  \r\n"), std::string::npos);
    EXPECT_NE(ui.messages[0].text.find("The record of tile w2 cannot be added in blocks: "),
              std::string::npos);
    shp.reset();
    const auto rows = Rows(dir, kShapefile);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].blockName, "w1");

    // An index without the block fields; no index; a type outside the table.
    auto bare = mapout::CreateDbFC(mapout::CreateDbWorkspace(dir / "bare.gpkg"), "bare", wkbPolygon,
                                   false, false, nullptr);
    ui.messages.clear();
    EXPECT_FALSE(Record(bare, dir.Path(), list, TilesType::GoogleSat, 14, "Goo", ui).completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              ComposeMessageReport("AddPolygonFC  ", 1001,
                                   "The block index bare has no field blockName"));
    test::RecordingUi quiet;
    EXPECT_FALSE(mapout::AddPolygonFC(dir.Path(), nullptr, TileSequence::FromList(list),
                                      TilesType::GoogleSat, 14, "Goo", kVersions, quiet)
                     .completed);
    EXPECT_FALSE(
        Record(bare, dir.Path(), list, static_cast<TilesType>(5), 14, "Goo", quiet).completed);
    EXPECT_TRUE(quiet.messages.empty() && quiet.labels.empty());
    EXPECT_EQ(bare.Layer().GetFeatureCount(), 0);
}
