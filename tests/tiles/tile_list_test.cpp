#include "tiles/tile_list.h"

#include "common/error.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

using namespace tessaro::tiles;

namespace {

constexpr TilesType kAllTypes[] = {
    TilesType::GoogleSat, TilesType::GoogleMap, TilesType::GoogleLand, TilesType::ScanSat,
    TilesType::ScanMap,   TilesType::Shade,     TilesType::YandSat,    TilesType::YandMap};

} // namespace

// Every supported pair is listed end to end by the cli's reference test; here the pairs no
// source serves.
TEST(TilesType, UnsupportedPairsAreInvalid) {
    EXPECT_EQ(static_cast<int>(TilesTypeOf(Source::Yand, Kind::Map)), 51);
    for (auto bad : {std::pair{Source::Scan, Kind::Land}, std::pair{Source::Shade, Kind::Map},
                     std::pair{Source::Shade, Kind::Land}, std::pair{Source::Yand, Kind::Land},
                     std::pair{Source::None, Kind::Sat}}) {
        EXPECT_EQ(TilesTypeOf(bad.first, bad.second), TilesType::Invalid);
    }
}

// Worked out by hand: level 1 is one tile on either grid; the whole world at level 2 runs row by
// row from the north-west corner on the Google grid, column by column from the south-west
// corner on the ScanEx grid, and Yandex numbers its tiles from the north-west corner.
TEST(TileList, RecordsOfTheSmallestLevels) {
    const double g1 = 156367.865593911, g2 = 78183.932796955, x1 = -19936902.863223653;
    const double x2 = -19975994.829622004, e1 = 78271.51696402048, t2 = 10018754.171394622;
    const std::pair<TileRequest, std::vector<TileRecord>> cases[] = {
        {{TilesType::GoogleSat, 1, 10, 20, 10, 20}, {{0, 0, x1, -x1, g1, -g1, BlockName("t")}}},
        {{TilesType::GoogleMap, 2, -85, 85, -180, 179.99},
         {{0, 0, x2, -x2, g2, -g2, BlockName("tq")}}},
        {{TilesType::ScanSat, 1, 10, 20, 10, 20}, {{0, 0, 0, 0, e1, -e1, BlockName("s1_0_0")}}},
        {{TilesType::YandMap, 1, 10, 20, 10, 20}, {{1, 0, 0, 0, e1, -e1, BlockName("my1_1_0")}}},
        {{TilesType::ScanMap, 2, -80, 80, -180, 179.99},
         {{-2, -2, -2 * t2, -2 * t2, e1 / 2, -e1 / 2, BlockName("m2_-2_-2")},
          {-2, -1, -2 * t2, -t2, e1 / 2, -e1 / 2, BlockName("m2_-2_-1")},
          {-2, 0, -2 * t2, 0, e1 / 2, -e1 / 2, BlockName("m2_-2_0")}}},
    };
    for (const auto &[request, first] : cases) {
        const auto list = BuildTileList(request);
        ASSERT_GE(list.size(), first.size());
        for (std::size_t i = 0; i < first.size(); ++i) {
            EXPECT_EQ(list[i].col, first[i].col) << first[i].name.View();
            EXPECT_EQ(list[i].row, first[i].row) << first[i].name.View();
            EXPECT_DOUBLE_EQ(list[i].x, first[i].x) << first[i].name.View();
            EXPECT_DOUBLE_EQ(list[i].y, first[i].y) << first[i].name.View();
            EXPECT_DOUBLE_EQ(list[i].resX, first[i].resX) << first[i].name.View();
            EXPECT_DOUBLE_EQ(list[i].resY, first[i].resY) << first[i].name.View();
            EXPECT_EQ(list[i].name.View(), first[i].name.View());
        }
    }
    std::vector<std::string> names;
    for (const auto &r : GoogleList({TilesType::GoogleSat, 2, -85, 85, -180, 179.99})) {
        names.push_back(r.name.Str());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"tq", "tr", "tt", "ts"}));
}

TEST(TileList, ShadeHasTheTilesOfGoogleOneLevelFinerNamedWithItsOwnLevel) {
    const auto shade = ShadeList({TilesType::Shade, 6, 40, 42, 10, 14});
    const auto google = GoogleList({TilesType::GoogleSat, 7, 40, 42, 10, 14});
    ASSERT_EQ(shade.size(), google.size());
    for (std::size_t i = 0; i < shade.size(); ++i) {
        auto expected = google[i];
        expected.name.Assign(QuadKey(expected.col, expected.row, 6));
        EXPECT_EQ(shade[i], expected) << i;
    }
    EXPECT_EQ(ShadeList({TilesType::Shade, 9, 10, 10, 10, 10}).size(), 1u);
    EXPECT_EQ(ScanexList({TilesType::ScanSat, 12, 55.75, 55.75, 37.61, 37.61}).size(), 1u);
}

// The stream gives the materialised list's records in its order, each tile of the range once.
TEST(TileStream, StreamAndListAgreeAndCoverTheRangeOnce) {
    std::mt19937_64 gen(17);
    std::uniform_real_distribution<double> lat(-89.0, 89.0), lon(-180.0, 180.0);
    for (auto type : kAllTypes) {
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
            stream.Reset();
            ASSERT_TRUE(stream.Next(rec));
            EXPECT_EQ(rec, list.front());
        }
    }
}

TEST(TileStream, RefusesBadRequests) {
    EXPECT_NO_THROW(TileStream({TilesType::GoogleSat, 10, 10, 11, 20, 21}));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const TileRequest bad[] = {
        {TilesType::Invalid, 10, 10, 11, 20, 21},
        {TilesType::GoogleSat, 0, 10, 11, 20, 21},
        {TilesType::GoogleSat, 23, 10, 11, 20, 21},
        {TilesType::GoogleSat, 10, 10, 11, 20, nan},
        {TilesType::GoogleSat, 10, 10, 11, 20, inf},
        {TilesType::GoogleSat, 10, -inf, 11, 20, 21},
        {TilesType::GoogleSat, 10, 12, 11, 20, 21}, // south north of north
        {TilesType::GoogleSat, 10, 10, 11, 22, 21},
        {TilesType::GoogleSat, 10, 10, 90.5, 20, 21},
        {TilesType::GoogleSat, 10, 10, 11, -180.5, 21},
    };
    for (const auto &request : bad) {
        EXPECT_THROW(TileStream{request}, tessaro::ArgumentError)
            << request.level << " " << request.lat1 << " " << request.lon1 << " " << request.lon2;
    }
    EXPECT_THROW((void)GoogleList({TilesType::ScanSat, 3, 0, 1, 0, 1}), tessaro::ArgumentError);
}

TEST(TileRecord, FitsTheMemoryBudgetAndHoldsTheLongestNames) {
    static_assert(sizeof(TileRecord) <= 100);
    EXPECT_EQ(BuildTileList({TilesType::GoogleSat, 22, 0, 0, 0, 0}).at(0).name.View().size(), 22u);
    EXPECT_EQ(BuildTileList({TilesType::ScanMap, 22, -89, -89, -180, -180}).at(0).name.View(),
              "m22_-2097152_-2097152");
    EXPECT_EQ(BuildTileList({TilesType::YandMap, 22, -89, -89, 180, 180}).at(0).name.View(),
              "my22_4194303_4194303");
}
