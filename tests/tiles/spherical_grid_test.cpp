#include "tiles/spherical_grid.h"

#include "common/error.h"
#include "proj_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

using namespace tessaro::tiles;

namespace {

// The shifts as the grid arithmetic defines them, in plain 64-bit arithmetic: masks, products
// and the separately set top bit, not native shifts.
std::int32_t ReferenceShiftLeft(std::int32_t v, int n) {
    if (n >= 32) return 0;
    if (n == 0) return v;
    const std::int64_t mask = (std::int64_t{1} << (31 - n)) - 1;
    std::int64_t r = (std::int64_t{v} & mask) * (std::int64_t{1} << n);
    if ((std::int64_t{v} >> (31 - n)) & 1) {
        r -= std::int64_t{1} << 31; // the top bit of a 32-bit pattern stands for -2^31
    }
    return static_cast<std::int32_t>(r);
}

std::int32_t ReferenceShiftRight(std::int32_t v, int n) {
    if (n >= 32) return 0;
    if (n == 0) return v;
    const std::int64_t low = std::int64_t{v} & ~((std::int64_t{1} << n) - 1) & 0x7FFFFFFF;
    std::int64_t r = low / (std::int64_t{1} << n);
    if (v < 0) r += std::int64_t{1} << (31 - n);
    return static_cast<std::int32_t>(r);
}

// Decodes a quadtree key back into the tile it names.
std::pair<std::int64_t, std::int64_t> DecodeKey(const std::string &key) {
    std::int64_t col = 0, row = 0;
    for (std::size_t i = 1; i < key.size(); ++i) {
        col *= 2;
        row *= 2;
        switch (key[i]) {
        case 'q': break;
        case 'r': col += 1; break;
        case 't': row += 1; break;
        case 's': col += 1; row += 1; break;
        default: ADD_FAILURE() << "bad letter in " << key;
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

TEST(BitOperations, Pow2TableAndItsLimits) {
    EXPECT_EQ(Pow2(0), 1);
    EXPECT_EQ(Pow2(1), 2);
    EXPECT_EQ(Pow2(30), 1073741824);
    EXPECT_EQ(Pow2(31), std::numeric_limits<std::int32_t>::min());
    EXPECT_THROW((void)Pow2(-1), tessaro::Error);
    EXPECT_THROW((void)Pow2(32), tessaro::Error);
    try {
        (void)Pow2(32);
    } catch (const tessaro::Error &e) {
        EXPECT_EQ(e.Number(), 5);
    }
}

TEST(BitOperations, ShiftsAgreeWithTheirArithmeticDefinition) {
    std::mt19937 gen(42);
    std::uniform_int_distribution<std::int32_t> value(std::numeric_limits<std::int32_t>::min(),
                                                      std::numeric_limits<std::int32_t>::max());
    const std::int32_t edges[] = {0, 1, -1, std::numeric_limits<std::int32_t>::min(),
                                  std::numeric_limits<std::int32_t>::max(), 0x40000000};
    for (int n = 0; n <= 33; ++n) {
        for (std::int32_t v : edges) {
            EXPECT_EQ(ShiftLeft(v, n), ReferenceShiftLeft(v, n)) << v << " << " << n;
            EXPECT_EQ(ShiftRight(v, n), ReferenceShiftRight(v, n)) << v << " >> " << n;
        }
        for (int i = 0; i < 200; ++i) {
            const std::int32_t v = value(gen);
            ASSERT_EQ(ShiftLeft(v, n), ReferenceShiftLeft(v, n)) << v << " << " << n;
            ASSERT_EQ(ShiftRight(v, n), ReferenceShiftRight(v, n)) << v << " >> " << n;
        }
    }
    EXPECT_EQ(ShiftLeft(1, 31), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(ShiftRight(-1, 1), std::numeric_limits<std::int32_t>::max());
    EXPECT_THROW((void)ShiftLeft(1, -1), tessaro::Error);
}

TEST(QuadKey, NamesOfTheFirstLevels) {
    EXPECT_EQ(QuadKey(0, 0, 1), "t");
    EXPECT_EQ(QuadKey(1, 0, 2), "tr");
    EXPECT_EQ(QuadKey(0, 0, 2), "tq");
    EXPECT_EQ(QuadKey(0, 1, 2), "tt");
    EXPECT_EQ(QuadKey(1, 1, 2), "ts");
    // Level 4, column 5 (binary 101), row 3 (011): one letter per bit pair from the top:
    // (1,0) r, (0,1) t, (1,1) s.
    EXPECT_EQ(QuadKey(5, 3, 4), "trts");
}

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

TEST(SphericalGrid, LevelOneTileCorners) {
    const auto g = SphericalGrid::Google(1);
    const double p = g.pixelSize;
    EXPECT_DOUBLE_EQ(g.ColToX(0) + p / 2, -19936902.863223653);
    EXPECT_DOUBLE_EQ(g.RowToY(0) - p / 2, 19936902.863223653);
    EXPECT_EQ(g.TilesPerSide(), 1);
}

TEST(SphericalGrid, ShadeGridIsTheGoogleGridOneLevelFiner) {
    for (int level = 1; level < kMaxLevel; ++level) {
        const auto shade = SphericalGrid::Shade(level);
        const auto google = SphericalGrid::Google(level + 1);
        EXPECT_EQ(shade.n, google.n);
        EXPECT_EQ(shade.pixelSize, google.pixelSize);
        EXPECT_EQ(shade.LonToCol(37.6), google.LonToCol(37.6));
        EXPECT_EQ(shade.LatToRow(55.7), google.LatToRow(55.7));
    }
    EXPECT_THROW((void)SphericalGrid::Shade(23), tessaro::ArgumentError);
    EXPECT_THROW((void)SphericalGrid::Google(0), tessaro::ArgumentError);
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
            const double expectedLon = static_cast<double>(c) * 360.0 / static_cast<double>(tiles) - 180.0;
            const auto [lon, lat0] = proj.ToGeographic(x, 0.0);
            EXPECT_NEAR(lon, expectedLon, toleranceMetres / 111319.0 + 1e-9) << "L" << level << " c" << c;

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
