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

namespace {

// Decodes a quadtree key back into the tile it names.
std::pair<std::int64_t, std::int64_t> DecodeKey(const std::string &key) {
    std::int64_t col = 0, row = 0;
    for (std::size_t i = 1; i < key.size(); ++i) {
        col *= 2;
        row *= 2;
        switch (key[i]) {
        case 'q':
            break;
        case 'r':
            col += 1;
            break;
        case 't':
            row += 1;
            break;
        case 's':
            col += 1;
            row += 1;
            break;
        default:
            ADD_FAILURE() << "bad letter in " << key;
        }
    }
    return {col, row};
}

double RowNorthLatitude(std::int64_t row, int level) {
    const double pi = std::acos(-1.0);
    const double tiles = std::ldexp(1.0, level - 1);
    return std::atan(std::sinh(pi * (1.0 - 2.0 * static_cast<double>(row) / tiles))) * 180.0 / pi;
}

} // namespace

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

// Every key names its tile: one letter per level, q r t s for the quarters, by an independent
// decoder.
TEST(QuadKey, DecodesBackToItsTileAtEveryLevel) {
    std::mt19937_64 gen(7);
    for (int level = 1; level <= kMaxLevel; ++level) {
        const std::int64_t tiles = std::int64_t{1} << (level - 1);
        std::uniform_int_distribution<std::int64_t> pick(0, tiles - 1);
        for (int i = 0; i < 50; ++i) {
            const auto col = static_cast<std::int32_t>(pick(gen));
            const auto row = static_cast<std::int32_t>(pick(gen));
            const std::string key = QuadKey(col, row, level);
            ASSERT_EQ(key.size(), static_cast<std::size_t>(level));
            EXPECT_EQ(DecodeKey(key), std::make_pair(std::int64_t{col}, std::int64_t{row}));
        }
    }
}

TEST(SphericalGrid, PixelSizeIsRoundedToNineDecimals) {
    const auto level1 = SphericalGrid::Google(1);
    EXPECT_EQ(level1.n, 128);
    EXPECT_EQ(level1.pixelSize, 156367.865593911);
    EXPECT_EQ(SphericalGrid::Google(22).pixelSize, 0.074562009);
    EXPECT_EQ(RoundTo9Decimals(0.0745620087), 0.074562009);
    // 1/1024 and 3/1024 are exact ties at the tenth decimal: they go to the even ninth digit.
    EXPECT_EQ(RoundTo9Decimals(1.0 / 1024), 0.000976562);
    EXPECT_EQ(RoundTo9Decimals(3.0 / 1024), 0.002929688);
    EXPECT_EQ(RoundTo9Decimals(-3.0 / 1024), -0.002929688);
}

TEST(SphericalGrid, LevelsOutsideTheGridAreRefused) {
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

TEST(SphericalGrid, ClampedEqualsUnclampedInsideTheGrid) {
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> lon(-180.0, 179.999999);
    std::uniform_real_distribution<double> lat(-85.05, 85.05);
    for (int level = 1; level <= kMaxLevel; ++level) {
        const auto g = SphericalGrid::Google(level);
        for (int i = 0; i < 200; ++i) {
            const double x = lon(gen), y = lat(gen);
            ASSERT_EQ(g.ClampedCol(x), g.LonToCol(x)) << x;
            ASSERT_EQ(g.ClampedRow(y), g.LatToRow(y)) << y;
        }
    }
}

// Tile edges through PROJ: column c starts at longitude c·360/2^(L−1) − 180 and row r at the
// latitude atan(sinh(π(1 − 2r/2^(L−1)))) under ESRI:53004. The pixel size rounded to nine
// decimals moves an edge by at most half a nanometre per pixel from the centre.
TEST(SphericalGrid, TileEdgesAgreeWithProj) {
    tessaro::test::ProjTransform proj("ESRI:53004");
    std::mt19937_64 gen(11);
    for (int level = 1; level <= kMaxLevel; ++level) {
        const auto g = SphericalGrid::Google(level);
        const std::int64_t tiles = g.TilesPerSide();
        std::uniform_int_distribution<std::int64_t> pick(0, tiles);
        for (int i = 0; i < 40; ++i) {
            const auto c = static_cast<std::int32_t>(pick(gen));
            const double x = g.ColToX(c);
            const double pixelsFromCentre = std::fabs(static_cast<double>(c * 256 - g.n));
            const double toleranceMetres = pixelsFromCentre * 0.5e-9 + 1e-6;
            const double expectedLon =
                static_cast<double>(c) * 360.0 / static_cast<double>(tiles) - 180.0;
            const auto [lon, lat0] = proj.ToGeographic(x, 0.0);
            EXPECT_NEAR(lon, expectedLon, toleranceMetres / 111319.0 + 1e-9)
                << "L" << level << " c" << c;

            const auto r = static_cast<std::int32_t>(pick(gen));
            const double y = g.RowToY(r);
            const auto [lon0, lat] = proj.ToGeographic(0.0, y);
            const double metresPerDegree = 111194.9 * std::cos(lat * std::acos(-1.0) / 180.0);
            const double rowTolerance =
                std::fabs(static_cast<double>(g.n - r * 256)) * 0.5e-9 + 1e-6;
            EXPECT_NEAR(lat, RowNorthLatitude(r, level), rowTolerance / metresPerDegree + 1e-9)
                << "L" << level << " r" << r;
        }
    }
}

// A geographic point projected by PROJ falls inside the tile LonToCol and LatToRow give it.
TEST(SphericalGrid, PointsFallInsideTheirTileUnderProj) {
    tessaro::test::ProjTransform proj("ESRI:53004");
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> lon(-179.9, 179.9);
    std::uniform_real_distribution<double> lat(-85.0, 85.0);
    for (int level : {1, 5, 12, 18, 22}) {
        const auto g = SphericalGrid::Google(level);
        for (int i = 0; i < 300; ++i) {
            const double lo = lon(gen), la = lat(gen);
            const auto [x, y] = proj.ToProjected(lo, la);
            const auto c = g.LonToCol(lo);
            const auto r = g.LatToRow(la);
            const double slack = 2.0 * g.pixelSize; // rounding drift and the decimal π
            EXPECT_GE(x, g.ColToX(c) - slack);
            EXPECT_LT(x, g.ColToX(c + 1) + slack);
            EXPECT_LE(y, g.RowToY(r) + slack);
            EXPECT_GT(y, g.RowToY(r + 1) - slack);
        }
    }
}
