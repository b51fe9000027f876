#include "mapout/block_index.h"

#include "../tiles/proj_reference.h"
#include "common/error_report.h"
#include "mapout/spatial_reference.h"
#include "mapout_support.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "tiles/ellipsoidal_grid.h"
#include "tiles/tile_files.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

using namespace tessaro;
using mapout::FeatureClass;
using tiles::TileSequence;
using tiles::TilesType;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

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
constexpr IndexFormat kShapefile{"blocks.SHP", "blocks.shp", "", 1e-6};
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

// The record a tile must have, worked out from its list columns as the index defines them:
// ScanEx and Yandex records start one tile height above the south-west corner of their lists.
test::BlockRow Expected(TilesType type, const tiles::TileRecord &r, int level, std::string service,
                        std::string version, int present) {
    const double y = r.y + (tiles::IsEllipsoidal(type) ? 256 * tiles::ResN(level) : 0.0);
    const double x0 = r.x - r.resX / 2, x1 = r.x + 256 * r.resX - r.resX / 2;
    const double y0 = y - r.resY / 2, y1 = y + 256 * r.resY - r.resY / 2;
    const std::string name = tiles::TileBaseName(type, r, level), word(tiles::TypeWord(type));
    return {name, service, version, word,    x0,
            y0,   r.resX,  level,   present, {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}, {x0, y0}}};
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

// The fields of a layer as "name type width.precision".
Strings Fields(OGRLayer &layer) {
    Strings fields;
    for (int i = 0; i < layer.GetLayerDefn()->GetFieldCount(); ++i) {
        const OGRFieldDefn &field = *layer.GetLayerDefn()->GetFieldDefn(i);
        fields.push_back(std::string(field.GetNameRef()) + " " +
                         OGRFieldDefn::GetFieldTypeName(field.GetType()) + " " +
                         std::to_string(field.GetWidth()) + "." +
                         std::to_string(field.GetPrecision()) +
                         (field.IsNullable() ? "" : " not null"));
    }
    return fields;
}

Strings Texts(const test::RecordingUi &ui) {
    Strings texts;
    for (const auto &m : ui.messages) {
        texts.push_back(m.text);
    }
    return texts;
}

} // namespace

// In each format a missing index is offered for creation: No creates nothing; Yes creates it in
// Sphere Mercator with the block fields, which a later opening neither asks for nor adds again.
// A first run records every tile, once; a later run refreshes Present alone. Names with quotes
// are found exactly; texts longer than their field are cut alike and found again. A shapefile
// typed "blocks.SHP" keeps its capitals; other names get the extension ".shp".
TEST(BlockIndex, EachFormatIsCreatedWhenAskedAndRecordsEveryTileOnce) {
    const std::pair<const char *, const char *> names[] = {{"blocks", "blocks.shp"},
                                                           {"blocks.dbf", "blocks.shp"},
                                                           {"my.blocks.txt", "my.blocks.shp"},
                                                           {"b.sHp", "b.sHp"},
                                                           {"b.shpx", "b.shp"}};
    for (const auto &[name, normalised] : names) {
        EXPECT_EQ(mapout::NormaliseShapeName(name), normalised);
    }
    for (const char *database : {"a/x.gpkg", "a/x.GDB"}) { // a database alone means its blocks
        EXPECT_EQ(mapout::IndexPathOf(database), fs::path(database) / "blocks");
    }
    EXPECT_EQ(mapout::IndexPathOf("a/x.gpkg/tiles"), "a/x.gpkg/tiles");
    const auto type = TilesType::GoogleSat;
    const int level = 13;
    auto list = test::MoscowTiles(type, level);
    ASSERT_GE(list.size(), 4u);
    list.insert(list.end(), {Named("a'b", 0), Named("x' OR '1'='1", 2000), Named("a'b", 0)});
    const std::size_t distinct = list.size() - 1;
    const auto sphere = mapout::SetProjectedCoordSystem(mapout::kSphereMercator);
    for (const auto &format : kFormats) {
        SCOPED_TRACE(format.indexPath);
        test::TempDir dir; // the GeoPackage and the File Geodatabase do not exist yet either
        const bool shapefile = &format == &kFormats[0];
        fs::path path = dir / format.indexPath;
        test::RecordingUi ui;
        ui.answers = {false, true};
        EXPECT_FALSE(mapout::OpenPolygonFC(path, ui));
        EXPECT_TRUE(path.empty() && fs::is_empty(dir.Path()));
        path = dir / format.indexPath;
        ASSERT_TRUE(mapout::OpenPolygonFC(path, ui));
        EXPECT_EQ(path, dir / format.indexPath);
        EXPECT_EQ(Texts(ui), Strings{"Не открылся FeatureClass " + path.filename().string()});
        ui.messages.clear();
        ASSERT_EQ(ui.questions.size(), 2u);
        EXPECT_EQ(ui.questions[1].question, Question::CreateIndex);
        EXPECT_EQ(ui.questions[1].text, std::string(shapefile ? "SHP-файл" : "FeatureClass") +
                                            " для хранения полигонов не существует\r\n" +
                                            path.string() + "\r\nСоздать новый?");
        GDALDatasetUniquePtr dataset(
            GDALDataset::Open((dir / format.source).c_str(), GDAL_OF_VECTOR));
        ASSERT_TRUE(dataset);
        OGRLayer *layer = shapefile ? dataset->GetLayer(0) : dataset->GetLayerByName(format.layer);
        ASSERT_TRUE(layer && layer->GetSpatialRef());
        EXPECT_TRUE(layer->GetSpatialRef()->IsSame(&sphere));
        if (shapefile) { // the widths a dBase table keeps (text at most 254)
            EXPECT_EQ(
                Fields(*layer),
                (Strings{"blockName String 254.0", "Service String 10.0", "Version String 32.0",
                         "blockType String 3.0", "Xm Real 19.9", "Ym Real 19.9",
                         "Resolution Real 19.9", "Zoom Integer 2.0", "Present Integer 2.0"}));
            EXPECT_EQ(test::ReadText(dir / "blocks.cpg"), "UTF-8");
        } else {
            EXPECT_EQ(std::string(layer->GetFIDColumn()) + " " + layer->GetGeometryColumn(),
                      "OBJECTID SHAPE");
        }
        dataset.reset();
        auto index = mapout::OpenPolygonFC(path, ui);
        ASSERT_TRUE(index);
        EXPECT_EQ(ui.questions.size(), 2u);
        // A field name taken in another letter case (the first one's too) is refused by every
        // driver alike.
        EXPECT_FALSE(mapout::AddField(*index, "BLOCKNAME", true, mapout::FieldType::Text, 9, 0, 0,
                                      true, ui));
        EXPECT_EQ(Texts(ui), Strings{"dbUtil.AddField: The feature class blocks already has a "
                                     "field BLOCKNAME"});
        ui.messages.clear();

        const fs::path tiles = dir / "tiles";
        std::vector<test::BlockRow> expected;
        for (std::size_t i = 0; i < distinct; ++i) { // every other tile was downloaded
            if (i % 2 == 0) {
                test::WriteImage(tiles::TilePath(tiles, type, list[i], level), false);
            }
            expected.push_back(Expected(type, list[i], level, "Goo", "125", i % 2 == 0 ? -1 : 0));
        }
        const auto first = Record(*index, tiles, list, type, level, "Goo", ui);
        EXPECT_TRUE(first.completed);
        EXPECT_EQ((std::array{first.added, first.unchanged}),
                  (std::array<std::int64_t, 2>{static_cast<std::int64_t>(distinct), 1}));
        EXPECT_EQ(ui.labels, (Strings{"Create Geometry", "Add to Polygon Feature class", ""}));

        // The rest arrives, one goes away; the next run comes with other versions.
        for (std::size_t i = 0; i < distinct; ++i) {
            test::WriteImage(tiles::TilePath(tiles, type, list[i], level), false);
            expected[i].present = -1;
        }
        fs::remove(tiles::TilePath(tiles, type, list[0], level));
        expected[0].present = 0;
        const auto second = Record(*index, tiles, list, type, level, "Goo", ui, {"9", "9", "9"});
        const auto refreshed = static_cast<std::int64_t>(distinct / 2) + 1;
        EXPECT_EQ((std::array{second.added, second.refreshed, second.unchanged}),
                  (std::array<std::int64_t, 3>{
                      0, refreshed, static_cast<std::int64_t>(list.size()) - refreshed}));

        // Each value is one quoted literal: found exactly, never widening the query.
        for (const char *where : {"b' OR '1'='1", "a''b"}) {
            EXPECT_FALSE(mapout::FindFeatureByWhere(
                *index, mapout::BlockWhereClause(index->Layer(), where, "Goo", "sat")));
        }
        EXPECT_FALSE(mapout::FindFeatureByWhere(*index, "blockName = = 'a")); // no parse

        // Texts longer than their field: the cut name (a blank at its end) is found again; a
        // cut version is told once in each run.
        const std::string version = "m@249000000&hl=ru&gl=ru&x=12345678";
        for (int run = 0; run < 2; ++run) {
            EXPECT_EQ(Record(*index, dir.Path(), {Named("t", 0)}, TilesType::GoogleSat, 14,
                             "Mirror of Goo", ui, {version, "", ""})
                          .added,
                      run == 0 ? 1 : 0);
        }
        expected.push_back(Expected(TilesType::GoogleSat, Named("t", 0), 14, "Mirror of",
                                    version.substr(0, 32), 0));
        test::ExpectSameRows(expected, Rows(dir, format), format.ringTolerance);
        const std::string cut = "The field Version of the block index " +
                                (dir / format.source).string() + (shapefile ? "" : "/blocks") +
                                " holds 32 characters: the version \"" + version +
                                "\" is recorded as \"" + version.substr(0, 32) + "\".";
        EXPECT_EQ(Texts(ui), Strings(2, cut));
    }
}

// The folder of the typed path is the workspace: a folder of shapefiles, a GeoPackage or a File
// Geodatabase, also a feature dataset in one, where a new table lands. A missing folder, a data
// source of another kind, a corrupt database or shapefile, and an index that does not read back
// whole hold no index, ask nothing and are left byte for byte as they were, without a lock file;
// GDAL's reason or what is wrong is named.
TEST(OpenPolygonFC, WorkspacesByWhatThePathNames) {
    test::TempDir dir;
    (void)mapout::CreateDbWorkspace(dir / "index.gdb");
    test::WriteText(dir / "table.csv", "a,b\n1,2\n");
    test::WriteText(dir / "blocks.shp", "not a shapefile");
    test::WriteText(dir / "broken.gpkg", "not a database");
    test::WriteText(dir / "broken.gdb" / "a00000001.gdbtable", "garbage");
    test::RecordingUi quiet;
    const auto whole = [&](const char *folder, const IndexFormat &format) {
        fs::create_directory(dir / folder);
        fs::path path = dir / folder / format.indexPath;
        quiet.answers = {true};
        auto index = mapout::OpenPolygonFC(path, quiet);
        EXPECT_TRUE(index && Record(*index, dir.Path(), {Named("a", 0), Named("b", 2000)},
                                    TilesType::GoogleSat, 14, "Goo", quiet)
                                 .completed);
        return dir / folder / format.source;
    };
    const auto overwrite = [](fs::path file, const char *extension, std::streamoff at,
                              const std::string &bytes) {
        std::fstream f(file.replace_extension(extension), std::ios::in | std::ios::out);
        f.seekp(at).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    fs::resize_file(whole("short", kShapefile), 300);
    fs::resize_file(whole("table", kShapefile).replace_extension(".dbf"), 500);
    overwrite(whole("count", kShapefile), ".dbf", 4, "\xff\xff");
    overwrite(whole("fields", kShapefile), ".dbf", 48, "\x07"); // blockName 7 wide, not 254
    overwrite(whole("record", kShapefile), ".shx", 100, "\x7f\xff\xff\xff");
    const fs::path page = whole("page", kGeoPackage);
    GDALDatasetUniquePtr db(GDALDataset::Open(page.c_str(), GDAL_OF_VECTOR));
    OGRLayer *root = db->ExecuteSQL("SELECT rootpage FROM sqlite_master WHERE name = 'blocks'",
                                    nullptr, nullptr);
    const auto rootPage = OGRFeatureUniquePtr(root->GetNextFeature())->GetFieldAsInteger(0);
    db->ReleaseResultSet(root);
    db.reset();
    overwrite(page, ".gpkg", (rootPage - 1) * 4096, std::string(16, '\xff'));
    {
        auto typed = mapout::CreateDbFC(mapout::CreateDbWorkspace(dir / "typed.gpkg"), "blocks",
                                        wkbPolygon, false, false, nullptr);
        mapout::AddField(typed, "Zoom", true, mapout::FieldType::Text, 2, 0, 0, true, quiet);
    }
    const auto before = test::FolderBytes(dir.Path());
    const std::string noWorkspace =
        "Не открылась рабочая область для сохранения полигинов!\r\nblocks";
    const auto damaged = [&](const char *folder, const std::string &what) {
        return std::pair(dir / folder / "blocks",
                         Strings{"The block index " + (dir / folder / "blocks.shp").string() +
                                     " does not read back whole: " + what,
                                 "Не открылся FeatureClass blocks.shp"});
    };
    const std::pair<fs::path, Strings> refused[] = {
        {dir / "missing" / "blocks", {noWorkspace}},
        {dir / "table.csv" / "blocks",
         {"не поддерживается данный тип рабочей области", "Не открылся FeatureClass blocks"}},
        {dir / "blocks",
         {ComposeMessageReport("OpenPolygonFC  ", 1001,
                               "The shapefile " + (dir / "blocks.shp").string() +
                                   " cannot be opened"),
          "Не открылся FeatureClass blocks.shp"}},
        {dir / "broken.gpkg" / "blocks",
         {"\tThe database " + (dir / "broken.gpkg").string() + " cannot be opened: GDAL knows",
          noWorkspace}},
        {dir / "broken.gdb", {"\tThe database " + (dir / "broken.gdb").string(), noWorkspace}},
        damaged("short", "the file blocks.shp holds 300 bytes where its header calls for 372. It "
                         "is left as it is."),
        damaged("table", "the table blocks.dbf holds 500 bytes where its header calls for 1043"),
        damaged("count", "the table blocks.dbf counts 65535 records where the index file has 2"),
        damaged("fields", "the table blocks.dbf has field descriptions that do not match its "
                          "records"),
        damaged("record", "record 1 cannot be read: Error in fread()"),
        {page,
         {"The block index " + page.string() +
              "/blocks does not read back whole: SQLite "
              "finds the database damaged: ",
          "Не открылся FeatureClass blocks"}},
        {dir / "typed.gpkg",
         {"The block index " + (dir / "typed.gpkg").string() +
              "/blocks does not read back "
              "whole: its field Zoom is not a whole number.",
          "Не открылся FeatureClass blocks"}}};
    for (const auto &[path, messages] : refused) {
        test::RecordingUi ui;
        ui.answers = {true};
        fs::path typed = path;
        EXPECT_FALSE(mapout::OpenPolygonFC(typed, ui));
        EXPECT_TRUE(ui.questions.empty()) << path;
        const Strings texts = Texts(ui); // each begins with or holds its expected text
        ASSERT_EQ(texts.size(), messages.size()) << path << "\n" << testing::PrintToString(texts);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            EXPECT_NE(texts[i].find(messages[i]), std::string::npos) << texts[i];
        }
    }
    EXPECT_EQ(test::FolderBytes(dir.Path()), before);

    test::RecordingUi ui;
    ui.answers = {true};
    fs::path tiled = dir / "index.gdb" / "tiles" / "blocks";
    ASSERT_TRUE(mapout::OpenPolygonFC(tiled, ui));
    GDALDatasetUniquePtr gdb(GDALDataset::Open((dir / "index.gdb").c_str(), GDAL_OF_VECTOR));
    ASSERT_TRUE(gdb && gdb->GetRootGroup() && gdb->GetRootGroup()->OpenGroup("tiles"));
    EXPECT_EQ(gdb->GetRootGroup()->OpenGroup("tiles")->GetVectorLayerNames(), Strings{"blocks"});
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
    const test::ProjTransform sphere("ESRI:53004"), world("ESRI:54004");
    std::vector<test::BlockRow> expected;
    auto record = [&](const std::vector<tiles::TileRecord> &list, TilesType type, int level,
                      const char *service, const char *version, int presentUpTo = 0) {
        EXPECT_EQ(Record(*index, dir.Path(), list, type, level, service, ui).added,
                  static_cast<std::int64_t>(list.size()));
        for (std::size_t i = 0; i < list.size(); ++i) {
            const int present = static_cast<int>(i) < presentUpTo ? -1 : 0;
            expected.push_back(Expected(type, list[i], level, service, version, present));
            for (auto &[x, y] : expected.back().ring) { // the fields keep the metres
                if (tiles::IsEllipsoidal(type)) {
                    const auto [lon, lat] = world.ToGeographic(x, y);
                    std::tie(x, y) = sphere.ToProjected(lon, lat);
                }
            }
        }
    };
    record(test::MoscowTiles(TilesType::ScanSat, 12), TilesType::ScanSat, 12, "Scan", "05.12.2026");
    record(test::MoscowTiles(TilesType::YandMap, 12), TilesType::YandMap, 12, "Yand", "05.12.2026");
    tiles::TileRecord google = test::MoscowTiles(TilesType::ScanSat, 12)[0];
    google.name.Assign("tqq");
    record({google}, TilesType::GoogleSat, 12, "Goo", "125");

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
    test::ExpectSameRows(expected, Rows(dir, kGeoPackage), 1e-4);
    EXPECT_TRUE(ui.messages.empty());
}

// A list that breaks at its third tile (into a GeoPackage, one transaction per run) and a value
// a shapefile cannot hold end the run with the records before them kept, and a report; an
// index without the block fields is reported too, and one with a narrow Version field warned of.
TEST(AddPolygonFC, ErrorsEndTheRunAndKeepTheRecordsBeforeThem) {
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
    EXPECT_EQ(Texts(ui),
              Strings{ComposeMessageReport("AddPolygonFC  ", 5, "The tile list broke off")});
    EXPECT_EQ(ui.labels.back(), "");
    index.reset();
    EXPECT_EQ(Rows(dir, kGeoPackage).size(), 2u);

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

    auto bare = mapout::CreateDbFC(mapout::CreateDbWorkspace(dir / "bare.gpkg"), "bare", wkbPolygon,
                                   false, false, nullptr);
    ui.messages.clear();
    EXPECT_FALSE(Record(bare, dir.Path(), list, TilesType::GoogleSat, 14, "Goo", ui).completed);
    EXPECT_EQ(Texts(ui),
              Strings{ComposeMessageReport("AddPolygonFC  ", 1001,
                                           "The block index bare has no field blockName")});
    EXPECT_EQ(bare.Layer().GetFeatureCount(), 0);

    // An index made with a Version field of 10 keeps it: a longer version is cut, told once.
    ASSERT_TRUE(
        mapout::AddField(bare, "Version", true, mapout::FieldType::Text, 10, 0, 0, true, ui));
    mapout::AddPolygonFields(bare, ui);
    ui.messages.clear();
    EXPECT_TRUE(
        Record(bare, dir.Path(), list, TilesType::GoogleSat, 14, "Goo", ui, {"w2.97&hl=ru", "", ""})
            .completed);
    EXPECT_EQ(Texts(ui),
              Strings{"The field Version of the block index " + (dir / "bare.gpkg").string() +
                      "/bare holds 10 characters: the "
                      "version \"w2.97&hl=ru\" is recorded as \"w2.97&hl=r\"."});
    EXPECT_EQ(test::ReadBlockRows(dir / "bare.gpkg", "bare").at(1).version, "w2.97&hl=r");
}
