#pragma once

#include "tiles/tile_list.h"

#include <cmath>
#include <cstdint>
#include <string>

namespace tessaro::bench {

// A request covering side × side tiles of a type, starting at the tile over Moscow: the extent
// runs between tile centres, so the count is exact.
inline tiles::TileRequest SquareRequest(tiles::TilesType type, int level, std::int64_t side) {
    using namespace tiles;
    TileRequest r{type, level, 0, 0, 0, 0};
    const auto g = GridOf(type);
    if (g == GridFamily::Ellipsoidal) {
        const auto grid = EllipsoidalGrid::ForLevel(level);
        const double degPerMetre = 1.0 / kSemiMajor / (kDecimalPi / 180.0);
        double lat = 55.75;
        const auto col0 = grid.LonToCol(37.6);
        const auto row0 = grid.LatToRow(lat);
        auto latOfY = [](double y) {
            double lo = -89.5, hi = 89.5;
            for (int i = 0; i < 200; ++i) {
                double mid = (lo + hi) / 2;
                double m = mid;
                (LatToMercY(m) < y ? lo : hi) = mid;
            }
            return (lo + hi) / 2;
        };
        r.lon1 = (static_cast<double>(col0) + 0.5) * grid.tileSize * degPerMetre;
        r.lon2 = (static_cast<double>(col0 + side - 1) + 0.5) * grid.tileSize * degPerMetre;
        r.lat1 = latOfY((static_cast<double>(row0) + 0.5) * grid.tileSize);
        r.lat2 = latOfY((static_cast<double>(row0 + side - 1) + 0.5) * grid.tileSize);
        return r;
    }
    const auto grid =
        g == GridFamily::Google ? SphericalGrid::Google(level) : SphericalGrid::Shade(level);
    const double n = static_cast<double>(grid.n);
    const auto col0 = grid.LonToCol(37.6);
    const auto row0 = grid.LatToRow(55.75);
    auto lonOf = [&](double col) { return ((col + 0.5) * 256 / n - 1) * 180; };
    auto latOf = [&](double row) {
        const double y = (row + 0.5) * 256 / n;
        return std::asin(std::tanh((1 - y) * kDecimalPi)) * 180 / kDecimalPi;
    };
    r.lon1 = lonOf(col0);
    r.lon2 = lonOf(static_cast<double>(col0 + side - 1));
    r.lat2 = latOf(row0);
    r.lat1 = latOf(static_cast<double>(row0 + side - 1));
    return r;
}

inline std::string ExtentText(const tiles::TileRequest &r) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%.17g,%.17g,%.17g,%.17g", r.lat1, r.lat2, r.lon1, r.lon2);
    return buf;
}

} // namespace tessaro::bench
