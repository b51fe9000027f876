#pragma once

#include <cstdint>
#include <string>

namespace tessaro::tiles {

/// Half the width of the EPSG:3857 plane in metres: π·6 378 137 m.
inline constexpr double kWebMercatorOrigin = 20037508.342789244;
/// The finest zoom of the web-mercator grid.
inline constexpr int kMaxXyzZoom = 22;

/// The standard web-mercator tile grid (EPSG:3857) at one zoom: 2^z tiles a side, 256 pixels
/// each, column 0 at the west edge and row 0 at the north edge of the square
/// ±kWebMercatorOrigin. This is the grid OpenStreetMap-style servers and XYZ tile caches cut.
struct WebMercatorGrid {
    int zoom = 0;
    std::int32_t tilesPerSide = 1;
    double tileSize = 2 * kWebMercatorOrigin; ///< metres a tile side spans
    double pixelSize = 2 * kWebMercatorOrigin / 256;

    /// Returns the grid of a zoom. @throws tessaro::ArgumentError outside 0..22.
    [[nodiscard]] static WebMercatorGrid ForZoom(int zoom);

    /// Returns the column of a longitude, clamped to the grid (a longitude of 180° gives the
    /// last column).
    [[nodiscard]] std::int32_t ClampedCol(double lon) const noexcept;
    /// Returns the row of a latitude, clamped to the grid (latitudes past about ±85.0511° give
    /// the edge rows).
    [[nodiscard]] std::int32_t ClampedRow(double lat) const noexcept;

    /// Returns the x of a column's west edge.
    [[nodiscard]] double ColToX(std::int32_t col) const noexcept {
        return -kWebMercatorOrigin + col * tileSize;
    }
    /// Returns the y of a row's north edge.
    [[nodiscard]] double RowToY(std::int32_t row) const noexcept {
        return kWebMercatorOrigin - row * tileSize;
    }
};

/// Returns the quadkey of a tile: one digit 0..3 per zoom step, the most significant first
/// (bit 1 from the row, bit 0 from the column); the empty text at zoom 0.
[[nodiscard]] std::string XyzQuadKey(std::int32_t x, std::int32_t y, int zoom);

} // namespace tessaro::tiles
