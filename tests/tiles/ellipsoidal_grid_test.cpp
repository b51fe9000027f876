#include "tiles/ellipsoidal_grid.h"

#include "common/error.h"
#include "proj_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace tessaro::tiles;

TEST(EllipsoidalGrid, ResolutionAndLatitudeLimit) {
    EXPECT_DOUBLE_EQ(ResN(1), 78271.51696402048);
    EXPECT_DOUBLE_EQ(EllipsoidalGrid::ForLevel(1).tileSize, 20037508.342789244);
    EXPECT_THROW((void)EllipsoidalGrid::ForLevel(23), tessaro::ArgumentError);
    EXPECT_THROW((void)EllipsoidalGrid::ForLevel(0), tessaro::ArgumentError);
    // Latitudes beyond ±89.5 are clamped, and the caller's value with them.
    const std::pair<double, double> limits[] = {{89.9, 89.5}, {-95.0, -89.5}, {45.0, 45.0}};
    for (const auto &[lat, clamped] : limits) {
        double value = lat, limit = clamped;
        EXPECT_EQ(LatToMercY(value), LatToMercY(limit)) << lat;
        EXPECT_EQ(value, clamped);
    }
}

TEST(EllipsoidalGrid, YandexNumbersAroundTheEquatorAndTheMeridian) {
    EXPECT_EQ(YandexX(0, 1), 1);
    EXPECT_EQ(YandexY(0, 1), 0);
    for (int level : {1, 8, 17, 22}) {
        // The tile just south of the equator is row -1, Yandex y 2^(L-1).
        double lat = -1e-9;
        EXPECT_EQ(EllipsoidalGrid::ForLevel(level).LatToRow(lat), -1);
        EXPECT_EQ(YandexY(-1, level), std::int64_t{1} << (level - 1));
        EXPECT_EQ(YandexX(-(std::int64_t{1} << (level - 1)), level), 0);
    }
}

TEST(EllipsoidalGrid, ClampsToTheSquareWorld) {
    for (int level : {1, 9, 17, 22}) {
        const auto g = EllipsoidalGrid::ForLevel(level);
        const std::int32_t half = 1 << (level - 1);
        EXPECT_EQ(g.ClampedRow(89.9), half - 1);
        EXPECT_EQ(g.ClampedRow(-89.9), -half);
        EXPECT_EQ(g.ClampedCol(180.0), half - 1);
        EXPECT_EQ(g.ClampedCol(-180.0), -half);
        double inside = 60.0;
        EXPECT_EQ(g.ClampedRow(60.0), g.LatToRow(inside));
        EXPECT_EQ(g.ClampedCol(-75.5), g.LonToCol(-75.5));
    }
}

// The grid's Mercator formulas against PROJ's World Mercator (ESRI:54004). The grid's minor
// axis and decimal π differ from WGS 84's in the last digits, which moves y by millimetres.
TEST(EllipsoidalGrid, MercatorAgreesWithProjWorldMercator) {
    tessaro::test::ProjTransform proj("ESRI:54004");
    std::mt19937_64 gen(9);
    std::uniform_real_distribution<double> lon(-180.0, 180.0);
    std::uniform_real_distribution<double> lat(-85.0, 85.0);
    for (int i = 0; i < 2000; ++i) {
        const double lo = lon(gen);
        double la = lat(gen);
        const auto [x, y] = proj.ToProjected(lo, la);
        EXPECT_NEAR(LonToMercX(lo), x, 1e-6) << lo;
        EXPECT_NEAR(LatToMercY(la), y, 0.005) << la;
    }
}

// Tile edges through PROJ: a hair north or east of an edge is in the tile, a hair south or west
// in the one before.
TEST(EllipsoidalGrid, TileEdgesAgreeWithProj) {
    tessaro::test::ProjTransform proj("ESRI:54004");
    std::mt19937_64 gen(13);
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
