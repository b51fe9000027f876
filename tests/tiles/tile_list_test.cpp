#include "tiles/tile_list.h"

#include "common/error.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace tessaro::tiles;

namespace {

std::vector<std::pair<std::int32_t, std::int32_t>> Cells(const std::vector<TileRecord> &list) {
    std::vector<std::pair<std::int32_t, std::int32_t>> cells;
    for (const auto &r : list) {
        cells.emplace_back(r.col, r.row);
    }
    return cells;
}

std::string Line(const TileRecord &r) {
    std::string s;
    AppendRecordText(s, r);
    return s;
}

constexpr TilesType kAllTypes[] = {TilesType::GoogleSat, TilesType::GoogleMap,
                                   TilesType::GoogleLand, TilesType::ScanSat,
                                   TilesType::ScanMap,   TilesType::Shade,
                                   TilesType::YandSat,   TilesType::YandMap};

} // namespace

TEST(TilesType, SourceAndKindTable) {
    EXPECT_EQ(TilesTypeOf(Source::Goo, Kind::Sat), TilesType::GoogleSat);
    EXPECT_EQ(TilesTypeOf(Source::Goo, Kind::Map), TilesType::GoogleMap);
    EXPECT_EQ(TilesTypeOf(Source::Goo, Kind::Land), TilesType::GoogleLand);
    EXPECT_EQ(TilesTypeOf(Source::Scan, Kind::Sat), TilesType::ScanSat);
    EXPECT_EQ(TilesTypeOf(Source::Scan, Kind::Map), TilesType::ScanMap);
    EXPECT_EQ(TilesTypeOf(Source::Shade, Kind::Sat), TilesType::Shade);
    EXPECT_EQ(TilesTypeOf(Source::Yand, Kind::Sat), TilesType::YandSat);
    EXPECT_EQ(TilesTypeOf(Source::Yand, Kind::Map), TilesType::YandMap);
    EXPECT_EQ(static_cast<int>(TilesTypeOf(Source::Goo, Kind::Land)), 12);
    EXPECT_EQ(static_cast<int>(TilesTypeOf(Source::Yand, Kind::Map)), 51);
    for (auto bad : {std::pair{Source::Scan, Kind::Land}, std::pair{Source::Shade, Kind::Map},
                     std::pair{Source::Shade, Kind::Land}, std::pair{Source::Yand, Kind::Land},
                     std::pair{Source::None, Kind::Sat}}) {
        EXPECT_EQ(TilesTypeOf(bad.first, bad.second), TilesType::Invalid);
    }
}

TEST(GoogleList, WholeWorldAtLevelTwoInRowMajorOrder) {
    const auto list = GoogleList({TilesType::GoogleSat, 2, -85, 85, -180, 179.99});
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(Cells(list), (std::vector<std::pair<std::int32_t, std::int32_t>>{
                               {0, 0}, {1, 0}, {0, 1}, {1, 1}}));
    EXPECT_EQ(list[0].name.View(), "tq");
    EXPECT_EQ(list[1].name.View(), "tr");
    EXPECT_EQ(list[2].name.View(), "tt");
    EXPECT_EQ(list[3].name.View(), "ts");
    EXPECT_EQ(list[1].resY, -list[1].resX);
    EXPECT_NEAR(list[1].x, list[0].x + 256 * list[0].resX, 1e-6);
}

TEST(GoogleList, LevelOneIsOneTileForTheWorld) {
    const auto list = GoogleList({TilesType::GoogleMap, 1, -80, 80, -170, 170});
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(Line(list[0]),
              "0;0;-19936902.8632237;19936902.8632237;156367.865593911;-156367.865593911;t");
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

TEST(ScanexList, ColumnMajorFromTheSouthWestCorner) {
    // Level 2: columns -2..1 and rows -2..1; the extent spans both hemispheres east and west.
    const auto list = ScanexList({TilesType::ScanSat, 2, -30, 30, -30, 30});
    EXPECT_EQ(Cells(list), (std::vector<std::pair<std::int32_t, std::int32_t>>{
                               {-1, -1}, {-1, 0}, {0, -1}, {0, 0}}));
    EXPECT_EQ(list[0].name.View(), "s2_-1_-1");
    EXPECT_EQ(list[0].x, -ResN(2) * 256);
    EXPECT_EQ(list[0].y, -ResN(2) * 256);
    EXPECT_EQ(list[3].x, 0.0);
}

TEST(ScanexList, LevelOneExamples) {
    const TileRequest r{TilesType::ScanSat, 1, 10, 20, 10, 20};
    const auto scan = ScanexList(r);
    ASSERT_EQ(scan.size(), 1u);
    EXPECT_EQ(scan[0].name.View(), "s1_0_0");
    auto yandex = r;
    yandex.type = TilesType::YandMap;
    const auto yand = ScanexList(yandex);
    ASSERT_EQ(yand.size(), 1u);
    EXPECT_EQ(yand[0].col, 1);
    EXPECT_EQ(yand[0].row, 0);
    EXPECT_EQ(yand[0].name.View(), "my1_1_0");
    EXPECT_EQ(Line(yand[0]), "1;0;0;0;78271.5169640205;-78271.5169640205;my1_1_0");
}

TEST(TileStream, RequestsBeyondTheGridAreClampedToItsEdge) {
    const auto google = BuildTileList({TilesType::GoogleSat, 3, 80, 90, 170, 180});
    ASSERT_EQ(google.size(), 1u);
    EXPECT_EQ(google[0].col, 3);
    EXPECT_EQ(google[0].row, 0);

    const auto south = BuildTileList({TilesType::GoogleMap, 2, -90, -89, -180, -179});
    ASSERT_EQ(south.size(), 1u);
    EXPECT_EQ(south[0].row, 1);

    // Yandex numbers stay inside 0 .. 2^L-1 at the poles.
    const auto yand = BuildTileList({TilesType::YandSat, 3, -90, 90, 179, 180});
    ASSERT_EQ(yand.size(), 8u);
    for (const auto &r : yand) {
        EXPECT_GE(r.row, 0);
        EXPECT_LE(r.row, 7);
        EXPECT_EQ(r.col, 7);
    }
}

TEST(TileStream, StreamAndMaterialisedListAgreeForEveryType) {
    std::mt19937_64 gen(17);
    std::uniform_real_distribution<double> lat(-89.0, 89.0), lon(-180.0, 180.0);
    for (auto type : kAllTypes) {
        for (int i = 0; i < 20; ++i) {
            const int level = 1 + static_cast<int>(gen() % 9);
            double a = lat(gen), b = lat(gen), c = lon(gen), d = lon(gen);
            TileRequest req{type, level, std::min(a, b), std::max(a, b), std::min(c, d),
                            std::max(c, d)};
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
        std::vector<std::vector<int>> seen(static_cast<std::size_t>(range.Rows()),
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
    auto bad = good;
    bad.type = TilesType::Invalid;
    EXPECT_THROW(TileStream{bad}, tessaro::ArgumentError);
    for (int level : {0, 23, -1}) {
        bad = good;
        bad.level = level;
        EXPECT_THROW(TileStream{bad}, tessaro::ArgumentError) << level;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double v : {nan, inf, -inf}) {
        bad = good;
        bad.lon2 = v;
        EXPECT_THROW(TileStream{bad}, tessaro::ArgumentError);
    }
    bad = good;
    bad.lat1 = 12; // south of... north of lat2
    EXPECT_THROW(TileStream{bad}, tessaro::ArgumentError);
    bad = good;
    bad.lon1 = 22;
    EXPECT_THROW(TileStream{bad}, tessaro::ArgumentError);
    bad = good;
    bad.lat2 = 90.5;
    EXPECT_THROW(TileStream{bad}, tessaro::ArgumentError);
    bad = good;
    bad.lon1 = -180.5;
    EXPECT_THROW(TileStream{bad}, tessaro::ArgumentError);
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
