#include "tiles/tile_files.h"

#include <gtest/gtest.h>

using namespace tessaro;
using tiles::TilesType;

namespace {

tiles::TileRecord Record(std::int32_t col, std::int32_t row, std::string_view name) {
    tiles::TileRecord r;
    r.col = col;
    r.row = row;
    r.name.Assign(name);
    return r;
}

} // namespace

TEST(TileFiles, NamesAndPathsPerType) {
    const std::filesystem::path dir = "/data/goo/15";
    const auto rec = Record(17, 9, "tqrs");
    EXPECT_EQ(tiles::TilePath(dir, TilesType::GoogleSat, rec, 15), "/data/goo/15/tqrs.jpg");
    EXPECT_EQ(tiles::TilePath(dir, TilesType::GoogleMap, rec, 15), "/data/goo/15/17_9.png");
    EXPECT_EQ(tiles::TilePath(dir, TilesType::GoogleLand, rec, 15), "/data/goo/15/17_9.jpg");
    EXPECT_EQ(tiles::TilePath(dir, TilesType::Shade, rec, 5), "/data/goo/15/row9/5_17-9.jpg");
    const auto scan = Record(-3, 5, "s10_-3_5");
    EXPECT_EQ(tiles::TilePath(dir, TilesType::ScanSat, scan, 10), "/data/goo/15/s10_-3_5.jpg");
    const auto yand = Record(1, 0, "my1_1_0");
    EXPECT_EQ(tiles::TilePath(dir, TilesType::YandMap, yand, 1), "/data/goo/15/my1_1_0.png");
    EXPECT_EQ(tiles::TilePath(dir, TilesType::YandSat, yand, 1), "/data/goo/15/my1_1_0.jpg");
}

TEST(TileFiles, WorldFilesLieBesideTheirImage) {
    EXPECT_EQ(tiles::WorldFilePath("/a/row9/5_17-9.jpg", TilesType::Shade), "/a/row9/5_17-9.jgw");
    EXPECT_EQ(tiles::WorldFilePath("/a/17_9.png", TilesType::GoogleMap), "/a/17_9.pgw");
    EXPECT_EQ(tiles::WorldFilePath("/a/my1_1_0.png", TilesType::YandMap), "/a/my1_1_0.pgw");
    // A ScanEx block name holds no dot of its own, so only the extension changes.
    EXPECT_EQ(tiles::WorldFilePath("/a/s10_-3_5.jpg", TilesType::ScanMap), "/a/s10_-3_5.jgw");
}

TEST(TileFiles, TypeWords) {
    EXPECT_EQ(tiles::TypeWord(TilesType::GoogleLand), "lnd");
    EXPECT_EQ(tiles::TypeWord(TilesType::ScanMap), "map");
    EXPECT_EQ(tiles::TypeWord(TilesType::Shade), "sat");
    EXPECT_EQ(tiles::TypeWord(TilesType::YandSat), "sat");
    EXPECT_EQ(tiles::TypeWord(TilesType::Invalid), "");
}
