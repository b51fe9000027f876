#include "tiles/tile_list.h"

#include "common/error.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace tessaro::tiles;

namespace {

constexpr TilesType kAllTypes[] = {
    TilesType::GoogleSat, TilesType::GoogleMap, TilesType::GoogleLand, TilesType::ScanSat,
    TilesType::ScanMap,   TilesType::Shade,     TilesType::YandSat,    TilesType::YandMap};

} // namespace

// Every supported pair is listed end to end by the cli's reference test; here the numbers that
// name the types and the pairs no source serves.
TEST(TilesType, NumbersAndUnsupportedPairs) {
    EXPECT_EQ(static_cast<int>(TilesTypeOf(Source::Goo, Kind::Land)), 12);
    EXPECT_EQ(static_cast<int>(TilesTypeOf(Source::Yand, Kind::Map)), 51);
    for (auto bad : {std::pair{Source::Scan, Kind::Land}, std::pair{Source::Shade, Kind::Map},
                     std::pair{Source::Shade, Kind::Land}, std::pair{Source::Yand, Kind::Land},
                     std::pair{Source::None, Kind::Sat}}) {
        EXPECT_EQ(TilesTypeOf(bad.first, bad.second), TilesType::Invalid);
    }
}

TEST(GoogleList, AnExtentInsideOneTileAndAPointGiveOneRecord) {
    EXPECT_EQ(GoogleList({TilesType::GoogleSat, 15, 55.75, 55.751, 37.61, 37.611}).size(), 1u);
    EXPECT_EQ(ScanexList({TilesType::ScanSat, 12, 55.75, 55.75, 37.61, 37.61}).size(), 1u);
    EXPECT_EQ(ShadeList({TilesType::Shade, 9, 10, 10, 10, 10}).size(), 1u);
}

TEST(ShadeList, SameTilesAsGoogleOneLevelFinerButNamedWithItsOwnLevel) {
    const TileRequest shade{TilesType::Shade, 6, 40, 42, 10, 14};
    const TileRequest google{TilesType::GoogleSat, 7, 40, 42, 10, 14};
    const auto a = ShadeList(shade);
    const auto b = GoogleList(google);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].col, b[i].col);
        EXPECT_EQ(a[i].row, b[i].row);
        EXPECT_EQ(a[i].x, b[i].x);
        EXPECT_EQ(a[i].y, b[i].y);
        EXPECT_EQ(a[i].resX, b[i].resX);
        EXPECT_EQ(a[i].name.View(), QuadKey(a[i].col, a[i].row, 6));
    }
}

TEST(TileStream, StreamAndMaterialisedListAgreeForEveryType) {
    std::mt19937_64 gen(17);
    std::uniform_real_distribution<double> lat(-89.0, 89.0), lon(-180.0, 180.0);
    for (auto type : kAllTypes) {
        for (int i = 0; i < 20; ++i) {
            const int level = 1 + static_cast<int>(gen() % 9);
            double a = lat(gen), b = lat(gen), c = lon(gen), d = lon(gen);
            TileRequest req{type,           level,          std::min(a, b),
                            std::max(a, b), std::min(c, d), std::max(c, d)};
            TileStream stream(req);
            const auto list = BuildTileList(req);
            ASSERT_EQ(static_cast<std::int64_t>(list.size()), stream.Size());
            TileRecord rec;
            std::size_t n = 0;
            while (stream.Next(rec)) {
                ASSERT_LT(n, list.size());
                ASSERT_EQ(rec, list[n]) << "record " << n;
                ++n;
            }
            EXPECT_EQ(n, list.size());
            EXPECT_FALSE(stream.Next(rec));
            stream.Reset();
            ASSERT_TRUE(stream.Next(rec));
            EXPECT_EQ(rec, list.front());
        }
    }
}

TEST(TileStream, RecordsCoverTheRangeExactlyOnce) {
    for (auto type : kAllTypes) {
        TileStream stream({type, 6, -20, 35, -40, 25});
        const auto range = stream.Range();
        std::vector<std::vector<int>> seen(
            static_cast<std::size_t>(range.Rows()),
            std::vector<int>(static_cast<std::size_t>(range.Columns())));
        TileRecord rec;
        while (stream.Next(rec)) {
            std::int64_t col = rec.col, row = rec.row;
            if (IsYandex(type)) { // back from Yandex numbers to grid numbers
                col -= 32;
                row = 32 - row - 1;
            }
            ++seen.at(static_cast<std::size_t>(row - range.rowFirst))
                  .at(static_cast<std::size_t>(col - range.colFirst));
        }
        for (const auto &r : seen) {
            for (int count : r) {
                EXPECT_EQ(count, 1);
            }
        }
    }
}

TEST(TileStream, RefusesBadRequests) {
    const TileRequest good{TilesType::GoogleSat, 10, 10, 11, 20, 21};
    EXPECT_NO_THROW(TileStream{good});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::function<void(TileRequest &)> changes[] = {
        [](auto &r) { r.type = TilesType::Invalid; },
        [](auto &r) { r.level = 0; },
        [](auto &r) { r.level = 23; },
        [](auto &r) { r.level = -1; },
        [&](auto &r) { r.lon2 = nan; },
        [&](auto &r) { r.lon2 = inf; },
        [&](auto &r) { r.lat1 = -inf; },
        [](auto &r) { r.lat1 = 12; }, // north of lat2
        [](auto &r) { r.lon1 = 22; },
        [](auto &r) { r.lat2 = 90.5; },
        [](auto &r) { r.lon1 = -180.5; },
    };
    for (std::size_t i = 0; i < std::size(changes); ++i) {
        auto bad = good;
        changes[i](bad);
        EXPECT_THROW(TileStream{bad}, tessaro::ArgumentError) << "change " << i;
    }
    EXPECT_THROW((void)GoogleList({TilesType::ScanSat, 3, 0, 1, 0, 1}), tessaro::ArgumentError);
}

TEST(TileRecord, FitsTheMemoryBudgetAndHoldsTheLongestNames) {
    static_assert(sizeof(TileRecord) <= 100);
    const auto google = BuildTileList({TilesType::GoogleSat, 22, 0, 0, 0, 0});
    EXPECT_EQ(google.at(0).name.View().size(), 22u);
    const auto scan = BuildTileList({TilesType::ScanMap, 22, -89, -89, -180, -180});
    EXPECT_EQ(scan.at(0).name.View(), "m22_-2097152_-2097152");
    const auto yand = BuildTileList({TilesType::YandMap, 22, -89, -89, 180, 180});
    EXPECT_EQ(yand.at(0).name.View(), "my22_4194303_4194303");
}
