#include "tiles/spherical_grid.h"

#include "common/error.h"
#include "proj_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>

using namespace tessaro::tiles;

TEST(BitOperations, PowersAndShiftsOf32BitPatterns) {
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(Pow2(0), 1);
    EXPECT_EQ(Pow2(30), 1073741824);
    EXPECT_EQ(Pow2(31), kMin);
    // Logical shifts of the 32-bit pattern; counts of 32 and more shift everything out.
    const std::tuple<std::int32_t, int, std::int32_t, std::int32_t> shifts[] = {
        // value, count, value << count, value >> count
        {5, 0, 5, 5},
        {1, 31, kMin, 0},
        {3, 31, kMin, 0},
        {0x40000000, 1, kMin, 0x20000000},
        {-1, 1, -2, kMax},
        {kMin, 31, 0, 1},
        {-256, 8, -65536, 0x00FFFFFF},
        {kMax, 4, -16, 0x07FFFFFF},
        {-1, 32, 0, 0},
        {kMax, 33, 0, 0},
    };
    for (const auto &[value, count, left, right] : shifts) {
        EXPECT_EQ(ShiftLeft(value, count), left) << value << " << " << count;
        EXPECT_EQ(ShiftRight(value, count), right) << value << " >> " << count;
    }
    for (const auto bad : {-1, 32}) {
        try {
            (void)Pow2(bad);
            ADD_FAILURE() << bad;
        } catch (const tessaro::Error &e) {
            EXPECT_EQ(e.Number(), 5);
        }
    }
    EXPECT_THROW((void)ShiftLeft(1, -1), tessaro::Error);
    EXPECT_THROW((void)ShiftRight(1, -1), tessaro::Error);
}

// Every key names its tile, read back by an independent decoder: one letter per level after the
// "t", q r t s for the upper-left, upper-right, lower-left and lower-right quarter.
TEST(QuadKey, DecodesBackToItsTileAtEveryLevel) {
    EXPECT_EQ(QuadKey(0, 0, 1), "t");
    EXPECT_EQ(QuadKey(1, 0, 2), "tr");
    std::mt19937_64 gen(7);
    for (int level = 1; level <= kMaxLevel; ++level) {
        std::uniform_int_distribution<std::int32_t> pick(0, (1 << (level - 1)) - 1);
        for (int i = 0; i < 50; ++i) {
            const std::int32_t col = pick(gen), row = pick(gen);
            const std::string key = QuadKey(col, row, level);
            ASSERT_EQ(key.size(), static_cast<std::size_t>(level));
            ASSERT_EQ(key[0], 't');
            std::int32_t c = 0, r = 0;
            for (std::size_t k = 1; k < key.size(); ++k) {
                const auto quarter =
                    static_cast<std::int32_t>(std::string_view("qrts").find(key[k]));
                ASSERT_LT(quarter, 4) << key;
                c = 2 * c + quarter % 2;
                r = 2 * r + quarter / 2;
            }
            EXPECT_EQ(std::make_pair(c, r), std::make_pair(col, row)) << key;
        }
    }
}

TEST(SphericalGrid, PixelSizeIsRoundedToNineDecimals) {
    const auto level1 = SphericalGrid::Google(1);
    EXPECT_EQ(level1.n, 128);
    EXPECT_EQ(level1.pixelSize, 156367.865593911);
    EXPECT_DOUBLE_EQ(level1.ColToX(0) + level1.pixelSize / 2, -19936902.863223653);
    EXPECT_EQ(SphericalGrid::Google(22).pixelSize, 0.074562009);
    EXPECT_EQ(SphericalGrid::Shade(21).pixelSize, 0.074562009);
    // 1/1024 and 3/1024 are exact ties at the tenth decimal: they go to the even ninth digit.
    EXPECT_EQ(RoundTo9Decimals(1.0 / 1024), 0.000976562);
    EXPECT_EQ(RoundTo9Decimals(3.0 / 1024), 0.002929688);
    EXPECT_EQ(RoundTo9Decimals(-3.0 / 1024), -0.002929688);
    EXPECT_THROW((void)SphericalGrid::Shade(23), tessaro::ArgumentError);
    EXPECT_THROW((void)SphericalGrid::Google(0), tessaro::ArgumentError);
    EXPECT_THROW((void)SphericalGrid::Google(23), tessaro::ArgumentError);
}

TEST(SphericalGrid, EdgesOfTheGridUnclampedAndClamped) {
    for (int level : {1, 2, 10, 22}) {
        const auto g = SphericalGrid::Google(level);
        const std::int32_t tiles = g.TilesPerSide();
        EXPECT_EQ(g.LonToCol(180.0), tiles) << "one past the last column";
        EXPECT_EQ(g.ClampedCol(180.0), tiles - 1);
        EXPECT_EQ(g.LonToCol(-180.0), 0);
        EXPECT_THROW((void)g.LatToRow(90.0), tessaro::OverflowError);
        EXPECT_EQ(g.ClampedRow(90.0), 0);
        EXPECT_EQ(g.ClampedRow(-90.0), tiles - 1);
        EXPECT_EQ(g.ClampedRow(85.06), 0);
        EXPECT_EQ(g.ClampedRow(-85.06), tiles - 1);
    }
}

// Tile edges through PROJ: column c starts at longitude c·360/2^(L−1) − 180 and row r at the
// latitude atan(sinh(π(1 − 2r/2^(L−1)))) under ESRI:53004. The pixel size rounded to nine
// decimals moves an edge by at most half a nanometre per pixel from the centre.
TEST(SphericalGrid, TileEdgesAgreeWithProj) {
    tessaro::test::ProjTransform proj("ESRI:53004");
    const double pi = std::acos(-1.0);
    std::mt19937_64 gen(11);
    for (int level = 1; level <= kMaxLevel; ++level) {
        const auto g = SphericalGrid::Google(level);
        const auto tiles = static_cast<double>(g.TilesPerSide());
        std::uniform_int_distribution<std::int32_t> pick(0, g.TilesPerSide());
        for (int i = 0; i < 40; ++i) {
            const std::int32_t c = pick(gen), r = pick(gen);
            const double colTolerance =
                std::fabs(c * 256.0 - static_cast<double>(g.n)) * 0.5e-9 + 1e-6;
            const auto [lon, lat0] = proj.ToGeographic(g.ColToX(c), 0.0);
            EXPECT_NEAR(lon, c * 360.0 / tiles - 180.0, colTolerance / 111319.0 + 1e-9)
                << "L" << level << " c" << c;
            const auto [lon0, lat] = proj.ToGeographic(0.0, g.RowToY(r));
            const double rowTolerance =
                std::fabs(static_cast<double>(g.n) - r * 256.0) * 0.5e-9 + 1e-6;
            EXPECT_NEAR(lat, std::atan(std::sinh(pi * (1.0 - 2.0 * r / tiles))) * 180.0 / pi,
                        rowTolerance / (111194.9 * std::cos(lat * pi / 180.0)) + 1e-9)
                << "L" << level << " r" << r;
        }
    }
}

// A geographic point projected by PROJ falls inside the tile LonToCol and LatToRow give it, and
// the clamped forms agree inside the grid.
TEST(SphericalGrid, PointsFallInsideTheirTileUnderProj) {
    tessaro::test::ProjTransform proj("ESRI:53004");
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> lon(-180.0, 179.999999);
    std::uniform_real_distribution<double> lat(-85.05, 85.05);
    for (int level = 1; level <= kMaxLevel; ++level) {
        const auto g = SphericalGrid::Google(level);
        for (int i = 0; i < 100; ++i) {
            const double lo = lon(gen), la = lat(gen);
            const auto [x, y] = proj.ToProjected(lo, la);
            const auto c = g.LonToCol(lo);
            const auto r = g.LatToRow(la);
            ASSERT_EQ(g.ClampedCol(lo), c) << lo;
            ASSERT_EQ(g.ClampedRow(la), r) << la;
            const double slack = 2.0 * g.pixelSize; // rounding drift and the decimal π
            EXPECT_GE(x, g.ColToX(c) - slack);
            EXPECT_LT(x, g.ColToX(c + 1) + slack);
            EXPECT_LE(y, g.RowToY(r) + slack);
            EXPECT_GT(y, g.RowToY(r + 1) - slack);
        }
    }
}
