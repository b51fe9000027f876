#include "tiles/web_mercator_grid.h"

#include "common/error.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tessaro::tiles {

namespace {

// Clamps a fractional tile number to the grid before it becomes an integer, so that the poles
// and a longitude of 180° cannot overflow the conversion.
std::int32_t Clamp(double tile, std::int32_t tilesPerSide) noexcept {
    const double clamped = std::clamp(std::floor(tile), 0.0, double(tilesPerSide - 1));
    return static_cast<std::int32_t>(clamped);
}

} // namespace

WebMercatorGrid WebMercatorGrid::ForZoom(int zoom) {
    if (zoom < 0 || zoom > kMaxXyzZoom) {
        throw ArgumentError("The zoom of a template source must be a whole number from 0 to 22, "
                            "not " +
                            std::to_string(zoom) + ".");
    }
    WebMercatorGrid grid;
    grid.zoom = zoom;
    grid.tilesPerSide = std::int32_t{1} << zoom;
    grid.tileSize = 2 * kWebMercatorOrigin / grid.tilesPerSide;
    grid.pixelSize = grid.tileSize / 256;
    return grid;
}

std::int32_t WebMercatorGrid::ClampedCol(double lon) const noexcept {
    return Clamp((lon + 180.0) / 360.0 * tilesPerSide, tilesPerSide);
}

std::int32_t WebMercatorGrid::ClampedRow(double lat) const noexcept {
    // The pole itself maps to an infinite row; the latitude is kept just inside it.
    const double phi = std::clamp(lat, -89.999999, 89.999999) * std::numbers::pi / 180.0;
    const double mercatorY = std::log(std::tan(std::numbers::pi / 4 + phi / 2));
    return Clamp((1.0 - mercatorY / std::numbers::pi) / 2.0 * tilesPerSide, tilesPerSide);
}

std::string XyzQuadKey(std::int32_t x, std::int32_t y, int zoom) {
    std::string key(static_cast<std::size_t>(zoom), '0');
    for (int i = 0; i < zoom; ++i) {
        const int bit = zoom - 1 - i;
        key[static_cast<std::size_t>(i)] =
            static_cast<char>('0' + ((x >> bit) & 1) + 2 * ((y >> bit) & 1));
    }
    return key;
}

} // namespace tessaro::tiles
