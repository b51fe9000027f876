#include "tileserver/tile_address.h"

#include <gtest/gtest.h>

#include <string>

using tessaro::tiles::TilesType;
using namespace tessaro::tileserver;

namespace {

struct Case {
    const char *target;
    TileCode expected;
};

void ExpectTiles(std::initializer_list<Case> cases) {
    for (const auto &c : cases) {
        const auto tile = ParseTileTarget(c.target);
        ASSERT_TRUE(tile.has_value()) << c.target;
        EXPECT_EQ(*tile, c.expected) << c.target;
    }
}

void ExpectNoTile(std::initializer_list<const char *> targets) {
    for (const char *target : targets) {
        EXPECT_FALSE(ParseTileTarget(target).has_value()) << target;
    }
}

TEST(TileAddress, GoogleDownloadFormsGiveNumbersAndZoomFromThePath) {
    ExpectTiles({
        // Level 3: zoom 15, 4 tiles a side; (3·3 + 2) mod 8 = 3 letters.
        {"/kh/v=40&x=3&y=2&zoom=15&s=Gal", {TilesType::GoogleSat, 3, 2, 15}},
        {"/m2/kh/v=40&x=3&y=2&zoom=15&s=Gal", {TilesType::GoogleSat, 3, 2, 15}},
        {"/some/folder/m0/kh/v=49&x=0&y=0&zoom=17&s=", {TilesType::GoogleSat, 0, 0, 17}},
        {"/vt/v=w2.97&hl=ru&x=1&y=0&zoom=16&s=Gal", {TilesType::GoogleMap, 1, 0, 16}},
        {"/m3/mt/v=w2p.87&hl=ru&x=1&y=4&zoom=14&s=Galileo", {TilesType::GoogleLand, 1, 4, 14}},
        // Zoom 0 stands for level 18 and above; the level 22 grid is the largest.
        {"/kh/v=40&x=2097151&y=2097151&zoom=0&s=G", {TilesType::GoogleSat, 2097151, 2097151, 0}},
        {"/kh/v=40&x=65535&y=5&zoom=1&s=G", {TilesType::GoogleSat, 65535, 5, 1}}, // level 17
        // Mirrors given as hosts only are told apart by their version.
        {"/v=18&x=3&y=2&zoom=15&s=Gal", {TilesType::GoogleSat, 3, 2, 15}},
        {"/v=w2.63&x=3&y=2&zoom=15&s=Gal", {TilesType::GoogleMap, 3, 2, 15}},
        {"/v=w2p.62&x=3&y=2&zoom=15&s=Gal", {TilesType::GoogleLand, 3, 2, 15}},
    });
}

TEST(TileAddress, GoogleDownloadFormsRefuseWhatNoServerWouldAnswer) {
    ExpectNoTile({
        "/kh/v=40&x=4&y=0&zoom=15&s=G",      // column 4 is past the level 3 grid
        "/kh/v=40&x=0&y=4&zoom=15&s=G",      // row likewise
        "/kh/v=40&x=2097152&y=0&zoom=0&s=G", // past the level 22 grid
        "/kh/v=40&x=65536&y=0&zoom=1&s=G",   // past the level 17 grid
        "/kh/v=40&x=-1&y=0&zoom=15&s=G",
        "/kh/v=40&x=0&y=0&zoom=18&s=G", // the zoom never exceeds 17
        "/kh/v=40&x=0&y=0&zoom=-1&s=G",
        "/kh/v=40&x=1&y=0&zoom=15&s=Gal1", // not the beginning of Galileo
        "/kh/v=40&x=1&y=0&zoom=15&s=Galileos",
        "/kh/v=40&x=1&y=0&zoom=15&s=g",
        "/kh/v=40&x=1&y=0&zoom=15",         // no s at all
        "/kh/v=40&y=0&zoom=15&s=G",         // no x
        "/kh/v=40&x=1&x=2&y=0&zoom=15&s=G", // x twice
        "/kh/v=40&x=1a&y=0&zoom=15&s=G",
        "/kh/v=40&x=+1&y=0&zoom=15&s=G",
        "/kh/v=40&x=&y=0&zoom=15&s=G",
        "/kh/v=&x=1&y=0&zoom=15&s=G", // an empty version field
        "/kh/v=40",
        "/kh/v=40&x=1&y=0&zoom=15&s=G?x=1", // download forms have no query
    });
}

// The list file's forms: quadtree keys, whose length gives the zoom, and map addresses whose
// version tells landscape from map.
TEST(TileAddress, ListFileFormsGiveTheirTiles) {
    ExpectTiles({
        {"/vt/mt?n=404&v=w2.97&hl=ru&x=1&y=2&zoom=15", {TilesType::GoogleMap, 1, 2, 15}},
        {"/m1/vt/mt?n=404&v=w2p.87&hl=ru&x=1&y=2&zoom=15", {TilesType::GoogleLand, 1, 2, 15}},
        {"/kh/kh?n=404&v=40&t=t", {TilesType::GoogleSat, 0, 0, 17}},
        // The four tiles of level 2 in list order.
        {"/kh/kh?n=404&v=40&t=tq", {TilesType::GoogleSat, 0, 0, 16}},
        {"/kh/kh?n=404&v=40&t=tr", {TilesType::GoogleSat, 1, 0, 16}},
        {"/kh/kh?n=404&v=40&t=tt", {TilesType::GoogleSat, 0, 1, 16}},
        {"/kh/kh?n=404&v=40&t=ts", {TilesType::GoogleSat, 1, 1, 16}},
        {"/m1/kh/kh?n=404&v=40&t=tsq", {TilesType::GoogleSat, 2, 2, 15}},
        {"/kh/kh?n=404&v=40&t=trt", {TilesType::GoogleSat, 2, 1, 15}},
        // Level 18 has zoom 0 like every level above it.
        {"/kh/kh?n=404&v=40&t=tsssssssssssssssss", {TilesType::GoogleSat, 131071, 131071, 0}},
        {"/kh/kh?n=404&v=40&t=trqqqqqqqqqqqqqqqqqqqq", {TilesType::GoogleSat, 1048576, 0, 0}},
    });
    ExpectNoTile({
        "/kh/kh?n=404&v=40&t=",
        "/kh/kh?n=404&v=40&t=qrts", // keys start with t
        "/kh/kh?n=404&v=40&t=tqx",
        "/kh/kh?n=404&v=40&t=tqqqqqqqqqqqqqqqqqqqqqq", // 23 letters: beyond level 22
        "/kh/kh?n=404&t=tq",                           // no version
        "/vt/mt?n=404&v=w2.97&x=1&y=2",
        "/vt/mt?n=404&v=&x=1&y=2&zoom=15",
        "/vt/mt?n=404&v=w2.97&x=9&y=2&zoom=15",
    });
}

TEST(TileAddress, ScanexTakesTileNumbersOrTileCentresInMetres) {
    ExpectTiles({
        {"/printtilesrescaled/?t=image_&zt=n&x=-3&y=5&z=10", {TilesType::ScanSat, -3, 5, 10}},
        {"/m2/printtilesrescaled/?t=map&zt=n&x=511&y=-512&z=10",
         {TilesType::ScanMap, 511, -512, 10}},
        {"/printtilesrescaled/?t=image_&zt=n&x=0&y=0&z=1", {TilesType::ScanSat, 0, 0, 1}},
        // Centres of tiles at level 10 (tile size 39135.758482010 m), as the list writes them.
        {"/printtilesrescaled/?t=image_&zt=n&x=-97839.3962050256&y=215246.671651056&z=10",
         {TilesType::ScanSat, -3, 5, 10}},
        {"/printtilesrescaled/?t=map&zt=n&x=20017940.4635482&y=-20017940.4635482&z=10",
         {TilesType::ScanMap, 511, -512, 10}},
        {"/printtilesrescaled/?t=map&zt=n&x=19567.8792410051&y=-19567.8792410051&z=10",
         {TilesType::ScanMap, 0, -1, 10}},
        // Metres round down, also below zero.
        {"/printtilesrescaled/?t=map&zt=n&x=0.5&y=-0.5&z=10", {TilesType::ScanMap, 0, -1, 10}},
        // Level 1 has four tiles of 20037508.342789244 m.
        {"/printtilesrescaled/?t=image_&zt=n&x=10018754.17&y=-10018754.17&z=1",
         {TilesType::ScanSat, 0, -1, 1}},
    });
    ExpectNoTile({
        "/printtilesrescaled/?t=image_&zt=n&x=512&y=0&z=10",
        "/printtilesrescaled/?t=image_&zt=n&x=0&y=-513&z=10",
        "/printtilesrescaled/?t=image_&zt=n&x=20037508.4&y=0&z=10",
        "/printtilesrescaled/?t=image_&zt=n&x=0&y=0&z=0",
        "/printtilesrescaled/?t=image_&zt=n&x=0&y=0&z=23",
        "/printtilesrescaled/?t=land&zt=n&x=0&y=0&z=3",
        "/printtilesrescaled/?zt=n&x=0&y=0&z=3",
        "/printtilesrescaled/?t=map&zt=n&x=1.5.5&y=0&z=3",
        "/printtilesrescaled/?t=map&zt=n&x=nan.&y=0&z=3",
    });
}

TEST(TileAddress, YandexNumbersRunFromTheNorthWestCorner) {
    ExpectTiles({
        {"/tiles?l=sat&v=1.6.0&x=3&y=5&z=10", {TilesType::YandSat, 3, 5, 10}},
        {"/m1/tiles?l=map&v=2.2.1&x=1&y=0&z=1", {TilesType::YandMap, 1, 0, 1}},
        {"/tiles?l=map&v=2.2.1&x=131071&y=131071&z=17", {TilesType::YandMap, 131071, 131071, 17}},
    });
    ExpectNoTile({
        "/tiles?l=sat&v=1.6.0&x=2&y=0&z=1",
        "/tiles?l=sat&v=1.6.0&x=0&y=-1&z=1",
        "/tiles?l=sat&v=&x=0&y=0&z=1",
        "/tiles?l=sat&x=0&y=0&z=1",
        "/tiles?l=trf&v=1.6.0&x=0&y=0&z=1",
        "/tiles?l=sat&v=1.6.0&x=0.5&y=0&z=1",
    });
}

TEST(TileAddress, ReliefPathsNameLevelRowAndColumnConsistently) {
    ExpectTiles({
        {"/layer/relief/z5/row9/5_17-9.jpg", {TilesType::Shade, 17, 9, 5}},
        {"/m3/srtm/layer/relief/z1/row0/1_1-0.jpg", {TilesType::Shade, 1, 0, 1}},
        {"/z12/row4095/12_0-4095.jpg", {TilesType::Shade, 0, 4095, 12}},
    });
    ExpectNoTile({
        "/layer/relief/z5/row8/5_17-9.jpg", // the row folder disagrees with the name
        "/layer/relief/z5/row9/6_17-9.jpg", // the level likewise
        "/layer/relief/z5/row9/5_17-9.png",
        "/layer/relief/z5/row9/5_32-9.jpg", // level 5 has 32 columns
        "/layer/relief/z5/row9/5_17-9.jpg?x=1",
        "/layer/relief/z5/5_17-9.jpg",
        "/layer/relief/x5/row9/5_17-9.jpg",
        "/layer/relief/z5/row9/5_17_9.jpg",
    });
}

TEST(TileAddress, OtherTargetsAreNoTiles) {
    ExpectNoTile({"", "/", "/favicon.ico", "kh/v=40&x=0&y=0&zoom=17&s=", "/kh/", "/tiles",
                  "/__stats", "/kh?", "/printtilesrescaled/", "/tiles?"});
}

TEST(TileAddress, MirrorIsTheFirstPathFolderNamedMAndANumber) {
    EXPECT_EQ(MirrorOf("/m2/kh/v=40&x=0&y=0&zoom=17&s="), 2);
    EXPECT_EQ(MirrorOf("/tiles/m13/tiles?l=sat"), 13);
    EXPECT_EQ(MirrorOf("/m0/m1/x"), 0);
    EXPECT_EQ(MirrorOf("/mt/v=w2p.87"), std::nullopt);
    EXPECT_EQ(MirrorOf("/m/x"), std::nullopt);
    EXPECT_EQ(MirrorOf("/m2x/x"), std::nullopt);
    EXPECT_EQ(MirrorOf("/m-1/x"), std::nullopt);
    EXPECT_EQ(MirrorOf("/kh?m2"), std::nullopt);
    EXPECT_EQ(MirrorOf("/x?/m2/"), std::nullopt);
}

} // namespace
