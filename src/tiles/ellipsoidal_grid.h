#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaro::tiles {

/// Semi-major axis of the WGS 84 ellipsoid in metres.
inline constexpr double kSemiMajor = 6378137.0;
/// Semi-minor axis as the ellipsoidal grid uses it, in metres.
inline constexpr double kSemiMinor = 6356752.3142;
/// Latitude beyond which LatToMercY clamps, in degrees.
inline constexpr double kMercatorLatLimit = 89.5;

/// Returns the metres per pixel of the ellipsoidal grid at a level:
/// (2·π·6378137 / 256) / 2^level with the full double π.
[[nodiscard]] double ResN(int level) noexcept;

/// Returns degrees in radians with the decimal π 3.14159265358979.
[[nodiscard]] double DegToRad(double degrees) noexcept;

/// Returns the ellipsoidal Mercator x of a longitude.
[[nodiscard]] double LonToMercX(double lon) noexcept;

/// Returns the ellipsoidal Mercator y of a latitude. Clamps the latitude to ±89.5 first and
/// writes the clamped value back into the argument.
[[nodiscard]] double LatToMercY(double &lat) noexcept;

/// Returns the Yandex x number of a grid column: 2^level / 2 + column.
[[nodiscard]] std::int64_t YandexX(std::int64_t column, int level) noexcept;
/// Returns the Yandex y number of a grid row: 2^level / 2 − row − 1.
[[nodiscard]] std::int64_t YandexY(std::int64_t row, int level) noexcept;

/// Returns the body of an ellipsoidal block name: level "_" x "_" y in decimal.
[[nodiscard]] std::string ScanBlockName(std::int64_t x, std::int64_t y, int level);

/// Returns the block-name prefix of an ellipsoidal TilesType code: "s" ScanEx satellite,
/// "m" ScanEx map, "sy" Yandex satellite, "my" Yandex map; empty for any other code.
[[nodiscard]] std::string_view BlockNamePrefix(int tilesTypeCode) noexcept;

/// The ellipsoidal Mercator grid (ScanEx, Yandex) at one level. Columns run from −2^(L−1)
/// at 180° W eastward, rows from 0 at the equator northward; the world is 2^L tiles wide.
struct EllipsoidalGrid {
    int level = 0;
    double pixelSize = 0; ///< ResN(level)
    double tileSize = 0;  ///< 256 · pixelSize

    /// Returns the grid of a level. @throws tessaro::ArgumentError outside 1..22.
    [[nodiscard]] static EllipsoidalGrid ForLevel(int level);

    /// Returns Int(LonToMercX(lon) / tile size), not clamped.
    [[nodiscard]] std::int32_t LonToCol(double lon) const;
    /// Returns Int(LatToMercY(lat) / tile size), not clamped (the latitude is clamped to ±89.5
    /// and written back).
    [[nodiscard]] std::int32_t LatToRow(double &lat) const;

    /// Column clamped to the grid's −2^(L−1) .. 2^(L−1)−1; equal to LonToCol inside it.
    [[nodiscard]] std::int32_t ClampedCol(double lon) const noexcept;
    /// Row clamped to the grid's −2^(L−1) .. 2^(L−1)−1; equal to LatToRow inside it.
    [[nodiscard]] std::int32_t ClampedRow(double lat) const noexcept;
};

} // namespace tessaro::tiles
