#include "tiles/tile_list.h"

#include "common/error.h"
#include "common/text.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

using namespace tessaro::tiles;
using tessaro::FormatDouble;

// Every source and kind a source serves gives its type number (the numbers logs and stored data
// carry), every other pair Invalid (-1); in the order Goo, Scan, Shade, Yand by Sat, Map, Land.
TEST(TilesType, EveryPairGivesItsTypeNumber) {
    std::string types;
    for (auto source : {Source::Goo, Source::Scan, Source::Shade, Source::Yand, Source::None}) {
        for (auto kind : {Kind::Sat, Kind::Map, Kind::Land}) {
            types += std::to_string(static_cast<int>(TilesTypeOf(source, kind))) + " ";
        }
    }
    EXPECT_EQ(types, "0 1 12 2 3 -1 4 -1 -1 50 51 -1 -1 -1 -1 ");
}

// Worked out by hand: level 1 is one tile on either grid, its x and y the centre of its corner
// pixel; the whole world at level 2 runs row by row from the north-west corner on the Google
// grid, column by column from the south-west corner on the ScanEx grid, and Yandex numbers its
// tiles from the north-west corner. The longest names fit a record.
TEST(TileList, RecordsOfTheSmallestLevelsAndTheLongestNames) {
    const std::pair<TileRequest, std::vector<std::string>> cases[] = {
        {{TilesType::GoogleSat, 1, 10, 20, 10, 20},
         {"0 0 -19936902.8632237 19936902.8632237 156367.865593911 -156367.865593911 t"}},
        {{TilesType::GoogleMap, 2, -85, 85, -180, 179.99},
         {"0 0 -19975994.829622 19975994.829622 78183.932796955 -78183.932796955 tq",
          "1 0 39091.9663984775 19975994.829622 78183.932796955 -78183.932796955 tr",
          "0 1 -19975994.829622 -39091.9663984775 78183.932796955 -78183.932796955 tt",
          "1 1 39091.9663984775 -39091.9663984775 78183.932796955 -78183.932796955 ts"}},
        {{TilesType::Shade, 1, -85, 85, -180, 179.99}, // Google's level 2 grid, level 1 names
         {"0 0 -19975994.829622 19975994.829622 78183.932796955 -78183.932796955 t",
          "1 0 39091.9663984775 19975994.829622 78183.932796955 -78183.932796955 t"}},
        {{TilesType::ScanSat, 1, 10, 20, 10, 20},
         {"0 0 0 0 78271.5169640205 -78271.5169640205 s1_0_0"}},
        {{TilesType::YandMap, 1, 10, 20, 10, 20},
         {"1 0 0 0 78271.5169640205 -78271.5169640205 my1_1_0"}},
        {{TilesType::ScanMap, 2, -80, 80, -180, 179.99},
         {"-2 -2 -20037508.3427892 -20037508.3427892 39135.7584820102 -39135.7584820102 m2_-2_-2",
          "-2 -1 -20037508.3427892 -10018754.1713946 39135.7584820102 -39135.7584820102 m2_-2_-1",
          "-2 0 -20037508.3427892 0 39135.7584820102 -39135.7584820102 m2_-2_0"}},
    };
    for (const auto &[request, first] : cases) {
        std::vector<std::string> lines; // column, row, x, y, pixel sizes and block name
        for (const auto &r : BuildTileList(request)) {
            lines.push_back(std::to_string(r.col) + " " + std::to_string(r.row) + " " +
                            FormatDouble(r.x) + " " + FormatDouble(r.y) + " " +
                            FormatDouble(r.resX) + " " + FormatDouble(r.resY) + " " + r.name.Str());
        }
        lines.resize(std::min(lines.size(), first.size()));
        EXPECT_EQ(lines, first);
    }
    static_assert(sizeof(TileRecord) <= 100);
    EXPECT_EQ(BuildTileList({TilesType::ScanMap, 22, -89, -89, -180, -180}).at(0).name.View(),
              "m22_-2097152_-2097152");
    EXPECT_EQ(BuildTileList({TilesType::YandMap, 22, -89, -89, 180, 180}).at(0).name.View(),
              "my22_4194303_4194303");
}

// The stream gives the materialised list's records in its order, each tile of the range once,
// and starts again after Reset; its parts, for any number from 1 to 7, are the list again.
TEST(TileStream, StreamAndListAgreeAndCoverTheRangeOnce) {
    std::mt19937_64 gen(17);
    std::uniform_real_distribution<double> lat(-89.0, 89.0), lon(-180.0, 180.0);
    for (auto type : {TilesType::GoogleSat, TilesType::GoogleMap, TilesType::GoogleLand,
                      TilesType::ScanSat, TilesType::ScanMap, TilesType::Shade, TilesType::YandSat,
                      TilesType::YandMap, TilesType::Xyz}) {
        for (int i = 0; i < 20; ++i) {
            const int level = 1 + static_cast<int>(gen() % 9);
            const double a = lat(gen), b = lat(gen), c = lon(gen), d = lon(gen);
            const TileRequest req{type,           level,          std::min(a, b),
                                  std::max(a, b), std::min(c, d), std::max(c, d)};
            TileStream stream(req);
            const auto list = BuildTileList(req);
            const auto range = stream.Range();
            ASSERT_EQ(static_cast<std::int64_t>(list.size()), stream.Size());
            std::vector<int> seen(list.size());
            const std::int32_t half = 1 << (level - 1);
            TileRecord rec;
            for (std::size_t n = 0; stream.Next(rec); ++n) {
                ASSERT_LT(n, list.size());
                ASSERT_EQ(rec, list[n]) << "record " << n;
                std::int64_t col = rec.col, row = rec.row;
                if (IsYandex(type)) { // back from Yandex numbers to grid numbers
                    col -= half;
                    row = half - row - 1;
                }
                ++seen.at(static_cast<std::size_t>((row - range.rowFirst) * range.Columns() +
                                                   (col - range.colFirst)));
            }
            EXPECT_EQ(seen, std::vector<int>(list.size(), 1));
            // The parts of a split list follow each other and make it whole again.
            for (std::int32_t n = 1; n <= 7; ++n) {
                std::vector<TileRecord> joined;
                for (std::int32_t k = 0; k < n; ++k) {
                    TileRequest part = req;
                    part.partIndex = k;
                    part.partCount = n;
                    const auto records = BuildTileList(part);
                    joined.insert(joined.end(), records.begin(), records.end());
                }
                ASSERT_EQ(joined, list) << n << " parts";
            }
            stream.Reset();
            ASSERT_TRUE(stream.Next(rec));
            EXPECT_EQ(rec, list.front());
        }
    }
}

// Unsupported types, levels outside 1..22 (0..22 on the web-mercator grid), parts outside their
// count, coordinates that are no finite numbers or lie outside ±90/±180, inverted extents.
TEST(TileStream, RefusesBadRequests) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const TileRequest bad[] = {{TilesType::Invalid, 10, 10, 11, 20, 21},
                               {TilesType::GoogleSat, 0, 10, 11, 20, 21},
                               {TilesType::GoogleSat, 23, 10, 11, 20, 21},
                               {TilesType::GoogleSat, 10, 10, 11, 20, nan},
                               {TilesType::GoogleSat, 10, -inf, 11, 20, 21},
                               {TilesType::GoogleSat, 10, 12, 11, 20, 21},
                               {TilesType::GoogleSat, 10, 10, 11, 22, 21},
                               {TilesType::GoogleSat, 10, 10, 90.5, 20, 21},
                               {TilesType::GoogleSat, 10, 10, 11, -180.5, 21},
                               {TilesType::Xyz, 23, 10, 11, 20, 21},
                               {TilesType::Xyz, 10, 10, 11, 20, 21, 3, 3},
                               {TilesType::Xyz, 10, 10, 11, 20, 21, 0, 0}};
    for (const auto &request : bad) {
        EXPECT_THROW(TileStream{request}, tessaro::ArgumentError) << &request - bad;
    }
    EXPECT_THROW((void)GoogleList({TilesType::ScanSat, 3, 0, 1, 0, 1}), tessaro::ArgumentError);
}
