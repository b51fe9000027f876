#include "tileserver/tile_address.h"

#include <gtest/gtest.h>

using tessaro::tiles::TilesType;
using namespace tessaro::tileserver;

namespace {

constexpr auto GSat = TilesType::GoogleSat, GMap = TilesType::GoogleMap,
               GLand = TilesType::GoogleLand, SSat = TilesType::ScanSat, SMap = TilesType::ScanMap,
               YSat = TilesType::YandSat, YMap = TilesType::YandMap;

TEST(TileAddress, EveryAddressFormGivesItsTile) {
    const std::pair<const char *, TileCode> cases[] = {
        // Google download forms: whatever stands before the known part is ignored.
        {"/kh/v=40&x=3&y=2&zoom=15&s=Gal", {GSat, 3, 2, 15}},
        {"/some/folder/m0/kh/v=49&x=0&y=0&zoom=17&s=", {GSat, 0, 0, 17}},
        {"/vt/v=w2.97&hl=ru&x=1&y=0&zoom=16&s=Gal", {GMap, 1, 0, 16}},
        {"/m3/mt/v=w2p.87&hl=ru&x=1&y=4&zoom=14&s=Galileo", {GLand, 1, 4, 14}},
        // The last tiles of level 15 (zoom 3), 17 (zoom 1) and 22 (zoom 0 stands for 18 and up).
        {"/kh/v=40&x=3&y=3&zoom=15&s=G", {GSat, 3, 3, 15}},
        {"/kh/v=40&x=65535&y=5&zoom=1&s=G", {GSat, 65535, 5, 1}},
        {"/kh/v=40&x=2097151&y=2097151&zoom=0&s=G", {GSat, 2097151, 2097151, 0}},
        // Mirrors given as hosts only are told apart by their version.
        {"/v=w2.63&x=3&y=2&zoom=15&s=Gal", {GMap, 3, 2, 15}},
        {"/v=w2p.62&x=3&y=2&zoom=15&s=Gal", {GLand, 3, 2, 15}},
        // The list file's forms: map addresses whose version tells landscape from map, and
        // quadtree keys whose length gives the level.
        {"/vt/mt?n=404&v=w2.97&hl=ru&x=1&y=2&zoom=15", {GMap, 1, 2, 15}},
        {"/m1/vt/mt?n=404&v=w2p.87&hl=ru&x=1&y=2&zoom=15", {GLand, 1, 2, 15}},
        {"/kh/kh?n=404&v=40&t=t", {GSat, 0, 0, 17}},
        {"/kh/kh?n=404&v=40&t=tr", {GSat, 1, 0, 16}},
        {"/kh/kh?n=404&v=40&t=ts", {GSat, 1, 1, 16}},
        {"/m1/kh/kh?n=404&v=40&t=tsq", {GSat, 2, 2, 15}},
        {"/kh/kh?n=404&v=40&t=tsssssssssssssssss", {GSat, 131071, 131071, 0}},
        {"/kh/kh?n=404&v=40&t=trqqqqqqqqqqqqqqqqqqqq", {GSat, 1048576, 0, 0}},
        // ScanEx tile numbers, or tile centres in metres (tile size 39135.758482010 m at level
        // 10), which round down also below zero.
        {"/printtilesrescaled/?t=image_&zt=n&x=-3&y=5&z=10", {SSat, -3, 5, 10}},
        {"/m2/printtilesrescaled/?t=map&zt=n&x=511&y=-512&z=10", {SMap, 511, -512, 10}},
        {"/printtilesrescaled/?t=image_&zt=n&x=-97839.3962050256&y=215246.671651056&z=10",
         {SSat, -3, 5, 10}},
        {"/printtilesrescaled/?t=map&zt=n&x=20017940.4635482&y=-20017940.4635482&z=10",
         {SMap, 511, -512, 10}},
        {"/printtilesrescaled/?t=map&zt=n&x=0.5&y=-0.5&z=10", {SMap, 0, -1, 10}},
        {"/printtilesrescaled/?t=image_&zt=n&x=10018754.17&y=-10018754.17&z=1", {SSat, 0, -1, 1}},
        // Yandex numbers run from the north-west corner.
        {"/tiles?l=sat&v=1.6.0&x=3&y=5&z=10", {YSat, 3, 5, 10}},
        {"/m1/tiles?l=map&v=2.2.1&x=1&y=0&z=1", {YMap, 1, 0, 1}},
        {"/tiles?l=map&v=2.2.1&x=131071&y=131071&z=17", {YMap, 131071, 131071, 17}},
        // Relief paths name level, row and column consistently.
        {"/layer/relief/z5/row9/5_17-9.jpg", {TilesType::Shade, 17, 9, 5}},
        {"/m3/srtm/layer/relief/z1/row1/1_1-1.jpg", {TilesType::Shade, 1, 1, 1}},
        // Web-mercator tiles carry the relief code of their numbers.
        {"/b/xyz/0/0/0.png", {TilesType::Shade, 0, 0, 0}},
        {"/xyz/14/9905/5122.jpg", {TilesType::Shade, 9905, 5122, 14}},
    };
    for (const auto &[target, tile] : cases) {
        EXPECT_EQ(ParseTileTarget(target), tile) << target;
    }
}

// Past the grid of every family, malformed numbers, versions and names.
TEST(TileAddress, TargetsNoServerWouldAnswerAreNoTiles) {
    for (const char *target :
         {// Google
          "/kh/v=40&x=4&y=0&zoom=15&s=G", "/kh/v=40&x=0&y=4&zoom=15&s=G",
          "/kh/v=40&x=2097152&y=0&zoom=0&s=G", "/kh/v=40&x=65536&y=0&zoom=1&s=G",
          "/kh/v=40&x=-1&y=0&zoom=15&s=G", "/kh/v=40&x=0&y=0&zoom=18&s=G",
          "/kh/v=40&x=1&y=0&zoom=15&s=Gal1", "/kh/v=40&x=1&y=0&zoom=15&s=Galileos",
          "/kh/v=40&x=1&y=0&zoom=15", "/kh/v=40&x=1&x=2&y=0&zoom=15&s=G",
          "/kh/v=40&x=+1&y=0&zoom=15&s=G", "/kh/v=&x=1&y=0&zoom=15&s=G",
          "/kh/v=40&x=1&y=0&zoom=15&s=G?x=1",
          // the list file's Google forms
          "/kh/kh?n=404&v=40&t=qrts", "/kh/kh?n=404&v=40&t=tqx",
          "/kh/kh?n=404&v=40&t=tqqqqqqqqqqqqqqqqqqqqqq", "/kh/kh?n=404&t=tq",
          "/vt/mt?n=404&v=&x=1&y=2&zoom=15", "/vt/mt?n=404&v=w2.97&x=4&y=2&zoom=15",
          // ScanEx
          "/printtilesrescaled/?t=map&x=512&y=0&z=10", "/printtilesrescaled/?t=map&x=0&y=-513&z=10",
          "/printtilesrescaled/?t=map&x=20037508.4&y=0&z=10",
          "/printtilesrescaled/?t=map&x=0&y=0&z=0", "/printtilesrescaled/?t=map&x=0&y=0&z=23",
          "/printtilesrescaled/?t=land&x=0&y=0&z=3", "/printtilesrescaled/?t=map&x=nan.&y=0&z=3",
          // Yandex
          "/tiles?l=sat&v=1.6.0&x=2&y=0&z=1", "/tiles?l=sat&v=1.6.0&x=0&y=-1&z=1",
          "/tiles?l=sat&v=1.6.0&x=0&y=2&z=1", "/tiles?l=sat&v=&x=0&y=0&z=1",
          "/tiles?l=trf&v=1.6.0&x=0&y=0&z=1", "/tiles?l=sat&v=1.6.0&x=0.5&y=0&z=1",
          // relief
          "/layer/relief/z5/row8/5_17-9.jpg", "/layer/relief/z5/row9/6_17-9.jpg",
          "/layer/relief/z5/row9/5_32-9.jpg", "/layer/relief/z1/row2/1_0-2.jpg",
          "/layer/relief/z5/row9/5_17-9.png", "/layer/relief/z5/5_17-9.jpg",
          // web-mercator
          "/xyz/1/2/0.png", "/xyz/23/0/0.png", "/xyz/3/1/1.gif", "/xyz/3/1.png", "/xyz/3/1/-1.png",
          // anything else
          "", "/", "/favicon.ico", "kh/v=40&x=0&y=0&zoom=17&s=", "/kh?", "/tiles?"}) {
        EXPECT_EQ(ParseTileTarget(target), std::nullopt) << target;
    }
}

} // namespace
