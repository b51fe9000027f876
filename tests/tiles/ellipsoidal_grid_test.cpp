#include "tiles/ellipsoidal_grid.h"

#include "common/error.h"
#include "proj_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace tessaro::tiles;

TEST(EllipsoidalGrid, ResolutionOfLevelOne) {
    EXPECT_DOUBLE_EQ(ResN(1), 78271.51696402048);
    const auto g = EllipsoidalGrid::ForLevel(1);
    EXPECT_DOUBLE_EQ(g.tileSize, 20037508.342789244);
    EXPECT_DOUBLE_EQ(ResN(17) * 256 * std::ldexp(1.0, 17), 2 * std::acos(-1.0) * kSemiMajor);
    EXPECT_THROW((void)EllipsoidalGrid::ForLevel(23), tessaro::ArgumentError);
}

TEST(EllipsoidalGrid, LatitudeIsClampedAndWrittenBack) {
    double lat = 89.9;
    const double y = LatToMercY(lat);
    EXPECT_EQ(lat, 89.5);
    double limit = 89.5;
    EXPECT_EQ(y, LatToMercY(limit));
    double south = -95.0;
    (void)LatToMercY(south);
    EXPECT_EQ(south, -89.5);
    double inside = 45.0;
    (void)LatToMercY(inside);
    EXPECT_EQ(inside, 45.0);
}

// Block names are checked through the lists (tile_list_test, the cli's reference).
TEST(EllipsoidalGrid, YandexNumbersAroundTheEquatorAndTheMeridian) {
    EXPECT_EQ(YandexX(0, 1), 1);
    EXPECT_EQ(YandexY(0, 1), 0);
    for (int level : {1, 8, 17, 22}) {
        // The tile just south of the equator is row -1, Yandex y 2^(L-1).
        double lat = -1e-9;
        const auto g = EllipsoidalGrid::ForLevel(level);
        EXPECT_EQ(g.LatToRow(lat), -1);
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

TEST(EllipsoidalGrid, RowEdgesAgreeWithProj) {
    tessaro::test::ProjTransform proj("ESRI:54004");
    std::mt19937_64 gen(13);
    for (int level : {1, 4, 10, 17}) {
        const auto g = EllipsoidalGrid::ForLevel(level);
        const std::int32_t half = 1 << (level - 1);
        std::uniform_int_distribution<std::int32_t> pick(-half + 1, half - 1);
        for (int i = 0; i < 50; ++i) {
            const std::int32_t row = pick(gen);
            const auto [lo, edgeLat] = proj.ToGeographic(0.0, row * g.tileSize);
            double north = edgeLat + 1e-6;
            double south = edgeLat - 1e-6;
            EXPECT_EQ(g.LatToRow(north), row) << "L" << level;
            EXPECT_EQ(g.LatToRow(south), row - 1) << "L" << level;
            const std::int32_t col = pick(gen);
            const auto [edgeLon, la] = proj.ToGeographic(col * g.tileSize, 0.0);
            (void)la;
            EXPECT_EQ(g.LonToCol(edgeLon + 1e-6), col) << "L" << level;
            EXPECT_EQ(g.LonToCol(edgeLon - 1e-6), col - 1) << "L" << level;
        }
    }
}
