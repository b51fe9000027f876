// `tessaro load` with the data layer: tiles' coordinate systems and the block index.
#include "cli/local_servers.h"
#include "download/tile_files.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "tileserver/tile_server.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

using namespace tessaro;
using tiles::TilesType;

namespace {

class IndexCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        GDALAllRegister();
        server.Start();
    }

    test::ProcessResult Load(std::vector<std::string> more, const char *source = "yand",
                             const char *kind = "sat") {
        std::vector<std::string> args = {TESSARO_BINARY, "load", "--source", source, "--kind", kind,
                                         "--level", "12", "--extent=55.70,55.80,37.50,37.70",
                                         "--dir", tiles.Path().string(), "--config",
                                         (home / "store.ini").string()};
        for (const auto &[key, value] : cli::ServerSettingsFor(server.BaseUrl())) {
            args.push_back("--set");
            args.push_back(std::string(settings::InfoOf(key).savedName) + "=" + value);
        }
        args.insert(args.end(), more.begin(), more.end());
        return test::RunProcess(args, {}, {{"HOME", home.Path().string()}});
    }

    tileserver::TileServer server;
    test::TempDir tiles;
    test::TempDir home;
};

const tiles::TileRequest kYandex{TilesType::YandSat, 12, 55.70, 55.80, 37.50, 37.70};

struct Record {
    std::string service, type;
    int present = 0, zoom = 0;
};

std::map<std::string, Record> Records(const std::string &dataset, const std::string &layerName) {
    GDALDatasetUniquePtr ds(GDALDataset::Open(dataset.c_str(), GDAL_OF_VECTOR));
    EXPECT_NE(ds, nullptr) << dataset;
    std::map<std::string, Record> records;
    if (!ds) return records;
    OGRLayer *layer = layerName.empty() ? ds->GetLayer(0) : ds->GetLayerByName(layerName.c_str());
    EXPECT_NE(layer, nullptr);
    if (!layer) return records;
    for (auto &f : layer) {
        Record r{f->GetFieldAsString("Service"), f->GetFieldAsString("blockType"),
                 f->GetFieldAsInteger("Present"), f->GetFieldAsInteger("Zoom")};
        EXPECT_EQ(records.count(f->GetFieldAsString("blockName")), 0u) << "one record per tile";
        records[f->GetFieldAsString("blockName")] = r;
    }
    return records;
}

} // namespace

TEST_F(IndexCliTest, DownloadedTilesGetTheirCoordinateSystem) {
    const auto r = Load({});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    tiles::TileList(kYandex).ForEach([&](const tiles::TileRecord &rec) {
        const auto path = download::TilePath(tiles.Path() / "12", TilesType::YandSat, rec, 12);
        ASSERT_TRUE(std::filesystem::exists(path.string() + ".aux.xml")) << path;
        GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
        ASSERT_NE(ds, nullptr);
        const OGRSpatialReference *srs = ds->GetSpatialRef();
        ASSERT_NE(srs, nullptr) << path;
        OGRSpatialReference worldMercator;
        worldMercator.SetFromUserInput("ESRI:54004");
        EXPECT_TRUE(srs->IsSame(&worldMercator)) << path;
    });
}

TEST_F(IndexCliTest, TheIndexIsCreatedOnlyWhenTheAnswerIsYes) {
    const auto index = tiles / "blocks";
    auto r = Load({"--index", index.string()});
    EXPECT_EQ(r.exitCode, 1) << "no terminal, no --yes: no index, no run";
    EXPECT_NE(r.err.find("SHP-файл для хранения полигонов не существует\r\n"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(tiles / "12")) << "nothing downloaded";

    r = Load({"--index", index.string(), "--yes", "--calculate-only"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Создать новый?\n(yes)\n"), std::string::npos) << r.err;
    auto records = Records((tiles / "blocks.shp").string(), "");
    const auto n = static_cast<std::size_t>(tiles::TileList(kYandex).Size());
    ASSERT_EQ(records.size(), n);
    for (const auto &[name, rec] : records) {
        EXPECT_EQ(rec.present, 0) << name << ": nothing on disk yet";
        EXPECT_EQ(rec.service, "Yand");
        EXPECT_EQ(rec.type, "sat");
        EXPECT_EQ(rec.zoom, 12);
    }

    r = Load({"--index", index.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    records = Records((tiles / "blocks.shp").string(), "");
    ASSERT_EQ(records.size(), n) << "the same tiles again: no second record";
    for (const auto &[name, rec] : records) {
        EXPECT_EQ(rec.present, -1) << name << ": on disk now";
    }
}

TEST_F(IndexCliTest, AGeoPackageIndexKeepsSourcesApart) {
    const auto index = (tiles / "index.gpkg" / "blocks").string();
    ASSERT_EQ(Load({"--index", index, "--yes"}).exitCode, 0);
    ASSERT_EQ(Load({"--index", index}, "yand", "map").exitCode, 0);
    const auto records = Records((tiles / "index.gpkg").string(), "blocks");
    const auto n = static_cast<std::size_t>(tiles::TileList(kYandex).Size());
    EXPECT_EQ(records.size(), 2 * n) << "names differ by their prefixes sy/my";
    std::size_t maps = 0;
    for (const auto &[name, rec] : records) {
        maps += rec.type == "map";
        EXPECT_EQ(name.substr(0, 2), rec.type == "map" ? "my" : "sy");
    }
    EXPECT_EQ(maps, n);
}
