#include "tiles/web_mercator_grid.h"

#include "common/error.h"
#include "proj_reference.h"
#include "tiles/tile_list.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tessaro::tiles;

// Points of the world, the poles and the antimeridian among them, fall into the tiles PROJ puts
// them in on EPSG:3857 at every zoom, clamped to the grid beyond its edge; each tile's record
// starts at the corner PROJ gives its numbers. Zoom 0 is one tile (23 is refused with the
// other bad requests).
TEST(WebMercatorGrid, TilesAndRecordsAgreeWithProj) {
    const tessaro::test::ProjTransform proj("EPSG:3857");
    const double edge = 20037508.342789244;
    const double points[][2] = {{-180, 85.06},      {-179.9, -85.0}, {0, 0},     {37.6173, 55.7558},
                                {-0.0001, -0.0001}, {179.99, 60},    {180, -90}, {-73.99, 40.75}};
    for (const int zoom : {0, 1, 5, 12, 22}) {
        const auto grid = WebMercatorGrid::ForZoom(zoom);
        const double tile = 2 * edge / std::exp2(zoom);
        for (const auto &[lon, lat] : points) {
            SCOPED_TRACE(testing::Message() << "zoom " << zoom << " at " << lon << ", " << lat);
            const double maxLat = std::atan(std::sinh(M_PI)) * 180 / M_PI;
            const auto [x, y] = proj.ToProjected(lon, std::clamp(lat, -maxLat, maxLat));
            const double last = std::exp2(zoom) - 1;
            EXPECT_EQ(grid.ClampedCol(lon), std::clamp(std::floor((x + edge) / tile), 0.0, last));
            EXPECT_EQ(grid.ClampedRow(lat), std::clamp(std::floor((edge - y) / tile), 0.0, last));
            const TileRecord r = BuildTileList({TilesType::Xyz, zoom, lat, lat, lon, lon}).at(0);
            const auto [west, north] = proj.ToProjected(
                r.col / std::exp2(zoom) * 360 - 180,
                std::atan(std::sinh(M_PI * (1 - 2 * r.row / std::exp2(zoom)))) * 180 / M_PI);
            EXPECT_NEAR(r.x - r.resX / 2, west, 1e-6);
            EXPECT_NEAR(r.y - r.resY / 2, north, 1e-6);
            EXPECT_NEAR(r.resX * 256, tile, 1e-9);
            EXPECT_EQ(r.name.Str(), std::to_string(zoom) + "/" + std::to_string(r.col) + "/" +
                                        std::to_string(r.row));
        }
    }
}
