#include "tiles/ellipsoidal_grid.h"

#include "common/error.h"
#include "proj_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>

using namespace tessaro::tiles;

// Hand-computed: the level-1 resolution and tile size; latitudes beyond ±89.5 clamped, and the
// caller's value with them; per level the edge tiles of the square world, and the tiles south of
// the equator and west of the meridian in Yandex numbers, which run from the north-west corner.
TEST(EllipsoidalGrid, ResolutionClampsAndYandexNumbers) {
    EXPECT_DOUBLE_EQ(ResN(1), 78271.51696402048);
    EXPECT_DOUBLE_EQ(EllipsoidalGrid::ForLevel(1).tileSize, 20037508.342789244);
    EXPECT_THROW((void)EllipsoidalGrid::ForLevel(23), tessaro::ArgumentError);
    for (const auto &[lat, clamped] : {std::pair{89.9, 89.5}, {-95.0, -89.5}, {45.0, 45.0}}) {
        double value = lat, limit = clamped;
        EXPECT_EQ(LatToMercY(value), LatToMercY(limit)) << lat;
        EXPECT_EQ(value, clamped);
    }
    for (int level : {1, 9, 17, 22}) {
        const auto g = EllipsoidalGrid::ForLevel(level);
        const std::int32_t half = 1 << (level - 1);
        const std::tuple edges{g.ClampedRow(89.9), g.ClampedRow(-89.9), g.ClampedCol(180.0),
                               g.ClampedCol(-180.0), g.ClampedCol(-75.5)};
        EXPECT_EQ(edges, std::tuple(half - 1, -half, half - 1, -half, g.LonToCol(-75.5)));
        double south = -1e-9;
        EXPECT_EQ(g.LatToRow(south), -1);
        EXPECT_EQ(YandexY(-1, level), half);
        EXPECT_EQ(YandexX(-half, level), 0);
    }
}

// The grid against PROJ's World Mercator (ESRI:54004): projected points, whose y differ by
// millimetres since the grid's minor axis and decimal π differ from WGS 84's in the last
// digits, and tile edges, a hair north or east of which lies the tile, a hair south or west the
// one before.
TEST(EllipsoidalGrid, MercatorAndTileEdgesAgreeWithProj) {
    tessaro::test::ProjTransform proj("ESRI:54004");
    std::mt19937_64 gen(9);
    std::uniform_real_distribution<double> lon(-180.0, 180.0), lat(-85.0, 85.0);
    for (int i = 0; i < 2000; ++i) {
        const double lo = lon(gen);
        double la = lat(gen);
        const auto [x, y] = proj.ToProjected(lo, la);
        EXPECT_NEAR(LonToMercX(lo), x, 1e-6) << lo;
        EXPECT_NEAR(LatToMercY(la), y, 0.005) << la;
    }
    for (int level : {1, 4, 10, 17}) {
        const auto g = EllipsoidalGrid::ForLevel(level);
        const std::int32_t half = 1 << (level - 1);
        std::uniform_int_distribution<std::int32_t> pick(-half + 1, half - 1);
        for (int i = 0; i < 50; ++i) {
            const std::int32_t row = pick(gen), col = pick(gen);
            const double edgeLat = proj.ToGeographic(0.0, row * g.tileSize).second;
            double north = edgeLat + 1e-6, south = edgeLat - 1e-6;
            EXPECT_EQ(g.LatToRow(north), row) << "L" << level;
            EXPECT_EQ(g.LatToRow(south), row - 1) << "L" << level;
            const double edgeLon = proj.ToGeographic(col * g.tileSize, 0.0).first;
            EXPECT_EQ(g.LonToCol(edgeLon + 1e-6), col) << "L" << level;
            EXPECT_EQ(g.LonToCol(edgeLon - 1e-6), col - 1) << "L" << level;
        }
    }
}
