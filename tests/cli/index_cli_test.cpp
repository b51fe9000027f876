// `tessaro load` with the data layer: the block index and the tiles' coordinate systems.
#include "../mapout/mapout_support.h"
#include "cli_support.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "tiles/tile_files.h"
#include "tileserver/tile_server.h"

#include <gdal_priv.h>

#include <gtest/gtest.h>

#include <set>

using namespace tessaro;
using tiles::TilesType;

namespace {

class IndexCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        GDALAllRegister();
        server.Start();
    }

    test::ProcessResult Load(std::vector<std::string> more) {
        auto args = test::LoadArgs(server.BaseUrl(), "yand", "sat", 12, "55.70,55.80,37.50,37.70",
                                   tiles.Path(), home / "store.ini");
        args.insert(args.end(), more.begin(), more.end());
        return test::RunProcess(args, {}, {{"HOME", home.Path().string()}});
    }

    tileserver::TileServer server;
    test::TempDir tiles;
    test::TempDir home;
};

const tiles::TileRequest kYandex{TilesType::YandSat, 12, 55.70, 55.80, 37.50, 37.70};

} // namespace

TEST_F(IndexCliTest, TheIndexIsCreatedOnlyWhenTheAnswerIsYes) {
    const auto index = tiles / "blocks";
    auto r = Load({"--index", index.string()});
    EXPECT_EQ(r.exitCode, 1) << "no terminal, no --yes: no index, no run";
    EXPECT_NE(r.err.find("SHP-файл для хранения полигонов не существует\r\n"), std::string::npos)
        << r.err;
    EXPECT_FALSE(std::filesystem::exists(tiles / "12")) << "nothing downloaded";

    const auto n = static_cast<std::size_t>(tiles::TileList(kYandex).Size());
    for (const int present : {0, -1}) { // calculated only, then on disk
        r = Load(present == 0 ? std::vector<std::string>{"--index", index.string(), "--yes",
                                                         "--calculate-only"}
                              : std::vector<std::string>{"--index", index.string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        if (present == 0) {
            EXPECT_NE(r.err.find("Создать новый?\n(yes)\n"), std::string::npos) << r.err;
        }
        const auto rows = test::ReadBlockRows(tiles / "blocks.shp");
        ASSERT_EQ(rows.size(), n) << "the same tiles again: no second record";
        std::set<std::string> names;
        for (const auto &row : rows) {
            names.insert(row.blockName);
            EXPECT_EQ(row.present, present) << row.blockName;
            EXPECT_EQ(row.service, "Yand");
            EXPECT_EQ(row.blockType, "sat");
            EXPECT_EQ(row.zoom, 12);
        }
        EXPECT_EQ(names.size(), n) << "one record per tile";
    }

    // The downloaded tiles got their coordinate system in their side files.
    OGRSpatialReference worldMercator;
    worldMercator.SetFromUserInput("ESRI:54004");
    tiles::TileList(kYandex).ForEach([&](const tiles::TileRecord &rec) {
        const auto path = tiles::TilePath(tiles.Path() / "12", TilesType::YandSat, rec, 12);
        ASSERT_TRUE(std::filesystem::exists(path.string() + ".aux.xml")) << path;
        GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
        ASSERT_NE(ds, nullptr);
        ASSERT_NE(ds->GetSpatialRef(), nullptr) << path;
        EXPECT_TRUE(ds->GetSpatialRef()->IsSame(&worldMercator)) << path;
    });
}
