// The grid of a mosaic and where an existing raster and each tile land on it.
#include "mosaic/mosaic_layout.h"

#include "common/error.h"

#include <gtest/gtest.h>

using namespace tessaro;
using namespace tessaro::mosaic;
using Gt = std::array<double, 6>;

namespace {

// An existing raster of 4 × 3 pixels of 10 m whose north-west corner is (1000, 5000).
constexpr Gt kOld{1000, 10, 0, 5000, 0, -10};

} // namespace

// The tiles' extent grows the old grid by whole pixels of its own on each side they reach
// beyond it; the old pixels keep their grid, so north and west growth moves them.
TEST(MosaicLayout, AppendingGrowsTheOldGridByWholePixels) {
    struct Case {
        const char *what;
        Extent tiles;
        Gt gt;
        int width, height, oldX, oldY;
    };
    const Case cases[] = {
        {"inside", {1010, 4980, 1030, 5000}, kOld, 4, 3, 0, 0},
        {"north and west", {970, 4990, 1010, 5020}, {970, 10, 0, 5020, 0, -10}, 7, 5, 3, 2},
        {"south and east", {1030, 4940, 1060, 4990}, kOld, 6, 6, 0, 0},
        {"parts of a pixel", {995, 4965, 1041, 5001}, {990, 10, 0, 5010, 0, -10}, 6, 5, 1, 1},
        {"a hair beyond", {1000 - 1e-9, 4970 - 1e-9, 1040 + 1e-9, 5000 + 1e-9}, kOld, 4, 3, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const MosaicGrid grid = AppendGrid(kOld, 4, 3, c.tiles);
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_DOUBLE_EQ(grid.geoTransform[i], c.gt[i]) << i;
        }
        EXPECT_EQ((std::array{grid.width, grid.height, grid.oldX, grid.oldY, grid.oldWidth,
                              grid.oldHeight}),
                  (std::array{c.width, c.height, c.oldX, c.oldY, 4, 3}));
    }
    // The old raster's window, from its corners to just outside them.
    const MosaicGrid grid = AppendGrid(kOld, 4, 3, cases[1].tiles);
    EXPECT_EQ((std::array{grid.InsideOld(3, 2), grid.InsideOld(6, 4), grid.InsideOld(2, 2),
                          grid.InsideOld(3, 1), grid.InsideOld(7, 4), grid.InsideOld(6, 5)}),
              (std::array{true, true, false, false, false, false}));
}

// A new grid starts at the tiles' north-west corner, its sides rounded to whole pixels; a side
// of less than one pixel, or more than a raster holds, is refused. (Tile extents are checked
// end to end, against the world files of every source.)
TEST(MosaicLayout, NewGridStartsAtTheTilesCorner) {
    const MosaicGrid grid = NewGrid({-20, -256, 356, 30}, 2, 2);
    EXPECT_EQ(grid.geoTransform, (Gt{-20, 2, 0, 30, 0, -2}));
    EXPECT_EQ((std::array{grid.width, grid.height, grid.oldWidth}), (std::array{188, 143, 0}));
    EXPECT_THROW((void)NewGrid({0, 0, 0.4, 10}, 1, 1), Error);
    EXPECT_THROW((void)NewGrid({0, 0, 3e9, 10}, 1, 1), Error);
}

// A tile on the grid is copied as it is; any other takes the grid pixels whose centres lie in
// it (the west and north edges included, the east and south ones not), cut to the grid.
TEST(MosaicLayout, TilesLandOnThePixelsWhoseCentresTheyCover) {
    const MosaicGrid grid = NewGrid({0, -512, 512, 0}, 1, 1);
    struct Case {
        const char *what;
        Extent tile;
        int x, y, width, height;
        bool aligned;
        double srcX, srcWidth;
    };
    const Case cases[] = {
        {"on the grid", {256, -256, 512, 0}, 256, 0, 256, 256, true, 0, 0},
        {"half size", {128, -384, 256, -256}, 128, 256, 128, 128, false, 0, 256},
        {"edges on centres", {10.5, -30.5, 30.5, -10.5}, 10, 10, 20, 20, false, -6.4, 256},
        {"edges past centres", {10.6, -30.6, 30.6, -10.6}, 11, 11, 20, 20, false, 5.12, 256},
        {"cut west", {-128, -256, 128, 0}, 0, 0, 128, 256, false, 128, 128},
        {"cut east", {384, -256, 640, 0}, 384, 0, 128, 256, false, 0, 128},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Placement p = Place(c.tile, 256, 256, grid);
        EXPECT_EQ((std::array{p.x, p.y, p.width, p.height}),
                  (std::array{c.x, c.y, c.width, c.height}));
        EXPECT_EQ(p.aligned, c.aligned);
        if (!c.aligned) {
            EXPECT_NEAR(p.srcX, c.srcX, 1e-9);
            EXPECT_NEAR(p.srcWidth, c.srcWidth, 1e-9);
            EXPECT_NEAR(p.srcY, c.tile.north == 0 ? 0 : c.srcX, 1e-9);
            EXPECT_NEAR(p.srcHeight, c.tile.north == 0 ? 256 : c.srcWidth, 1e-9);
        }
    }
    EXPECT_LE(Place({600, -100, 700, 0}, 256, 256, grid).width, 0);
}
