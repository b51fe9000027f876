#include "tiles/spherical_grid.h"

#include "common/error.h"
#include "proj_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>

using namespace tessaro::tiles;

// Every key names its tile, read back by an independent decoder: one letter per level after the
// "t", q r t s for the upper-left, upper-right, lower-left and lower-right quarter.
TEST(QuadKey, DecodesBackToItsTileAtEveryLevel) {
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

// Hand-computed: the pixel size rounded to nine decimals (ties to the even ninth digit), and
// the edges of the grid, unclamped (one past the last column, an overflow at the pole) and
// clamped to the edge tiles.
TEST(SphericalGrid, PixelSizeAndEdgesOfTheGrid) {
    EXPECT_EQ(SphericalGrid::Google(1).pixelSize, 156367.865593911);
    EXPECT_EQ(SphericalGrid::Google(22).pixelSize, 0.074562009);
    EXPECT_EQ(SphericalGrid::Shade(21).pixelSize, 0.074562009);
    EXPECT_EQ(RoundTo9Decimals(1.0 / 1024), 0.000976562);
    EXPECT_EQ(RoundTo9Decimals(-3.0 / 1024), -0.002929688);
    EXPECT_THROW((void)SphericalGrid::Google(0), tessaro::ArgumentError);
    for (int level : {1, 2, 10, 22}) {
        const auto g = SphericalGrid::Google(level);
        const std::int32_t last = g.TilesPerSide() - 1;
        EXPECT_EQ(g.LonToCol(180.0), last + 1);
        EXPECT_EQ(g.LonToCol(-180.0), 0);
        EXPECT_THROW((void)g.LatToRow(90.0), tessaro::OverflowError);
        const std::tuple clamped{g.ClampedCol(180.0), g.ClampedRow(90.0), g.ClampedRow(-90.0),
                                 g.ClampedRow(85.06), g.ClampedRow(-85.06)};
        EXPECT_EQ(clamped, std::tuple(last, 0, last, 0, last)) << level;
    }
}

// Against PROJ's spherical Mercator (ESRI:53004): column c starts at longitude
// c·360/2^(L−1) − 180 and row r at the latitude atan(sinh(π(1 − 2r/2^(L−1)))), to within the
// half nanometre per pixel from the centre that the pixel size rounded to nine decimals moves an
// edge; and a projected point falls inside the tile LonToCol and LatToRow give it, which the
// clamped forms agree with inside the grid.
TEST(SphericalGrid, TileEdgesAndPointsAgreeWithProj) {
    tessaro::test::ProjTransform proj("ESRI:53004");
    const double pi = std::acos(-1.0);
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> lon(-180.0, 179.999999), lat(-85.05, 85.05);
    for (int level = 1; level <= kMaxLevel; ++level) {
        const auto g = SphericalGrid::Google(level);
        const auto tiles = static_cast<double>(g.TilesPerSide());
        std::uniform_int_distribution<std::int32_t> pick(0, g.TilesPerSide());
        for (int i = 0; i < 40; ++i) {
            const std::int32_t c = pick(gen), r = pick(gen);
            const auto [edgeLon, lat0] = proj.ToGeographic(g.ColToX(c), 0.0);
            EXPECT_NEAR(
                edgeLon, c * 360.0 / tiles - 180.0,
                (std::fabs(c * 256.0 - static_cast<double>(g.n)) * 0.5e-9 + 1e-6) / 111319.0 + 1e-9)
                << "L" << level << " c" << c;
            const auto [lon0, edgeLat] = proj.ToGeographic(0.0, g.RowToY(r));
            EXPECT_NEAR(edgeLat, std::atan(std::sinh(pi * (1.0 - 2.0 * r / tiles))) * 180.0 / pi,
                        (std::fabs(static_cast<double>(g.n) - r * 256.0) * 0.5e-9 + 1e-6) /
                                (111194.9 * std::cos(edgeLat * pi / 180.0)) +
                            1e-9)
                << "L" << level << " r" << r;
        }
        for (int i = 0; i < 100; ++i) {
            const double lo = lon(gen), la = lat(gen);
            const auto [x, y] = proj.ToProjected(lo, la);
            const auto col = g.LonToCol(lo), row = g.LatToRow(la);
            ASSERT_EQ(std::pair(g.ClampedCol(lo), g.ClampedRow(la)), std::pair(col, row)) << lo;
            const double slack = 2.0 * g.pixelSize; // rounding drift and the decimal π
            EXPECT_GE(x, g.ColToX(col) - slack);
            EXPECT_LT(x, g.ColToX(col + 1) + slack);
            EXPECT_LE(y, g.RowToY(row) + slack);
            EXPECT_GT(y, g.RowToY(row + 1) - slack);
        }
    }
}
