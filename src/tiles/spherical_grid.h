#pragma once

#include <cstdint>
#include <string>

namespace tessaro::tiles {

/// π as the spherical grids use it: the decimal 3.14159265358979, not the full double π.
inline constexpr double kDecimalPi = 3.14159265358979;
/// Half circumference of the 6 371 000 m sphere, π·6 371 000 m with the decimal π.
inline constexpr double kHalfCircumference = 20015086.796020553;
/// Pixels per tile side on every grid.
inline constexpr int kTilePixels = 256;
/// Highest level any grid is asked for.
inline constexpr int kMaxLevel = 22;

/// Returns 2^exponent as a 32-bit integer; 2^31 is the bit pattern 80000000 hex.
/// @throws tessaro::Error (invalid procedure call) for an exponent outside 0..31.
[[nodiscard]] std::int32_t Pow2(int exponent);

/// Returns value shifted left by count bits as a 32-bit pattern; 32 or more gives 0.
/// @throws tessaro::Error for a negative count.
[[nodiscard]] std::int32_t ShiftLeft(std::int32_t value, int count);

/// Returns value shifted right by count bits logically (zeros come in at the top); 32 or
/// more gives 0. @throws tessaro::Error for a negative count.
[[nodiscard]] std::int32_t ShiftRight(std::int32_t value, int count);

/// Returns the block name (quadtree key) of a tile: "t" followed by one letter of "q", "r",
/// "t", "s" per level below the first, level letters in all. Level 1 gives "t".
/// @pre level >= 1
[[nodiscard]] std::string QuadKey(std::int32_t col, std::int32_t row, int level);

/// Writes the quadtree key into out (at least `level` chars) and returns its length.
/// The allocation-free form of QuadKey for the list generators.
std::size_t QuadKeyInto(std::int32_t col, std::int32_t row, int level, char *out) noexcept;

/// A spherical Mercator grid at one level: the Google grid (offset 0) or the shaded-relief
/// grid (offset 1, which equals the Google grid one level finer).
///
/// N is the number of pixels in half the world's width; the pixel size is H / N rounded to
/// nine decimals (round half to even), the value every tile coordinate follows.
struct SphericalGrid {
    std::int64_t n = 0;   ///< pixels per half world width, 2^(level + offset + 6)
    double pixelSize = 0; ///< metres per pixel, rounded to 9 decimals
    int level = 0;        ///< the request level (names are computed with it)
    int offset = 0;       ///< 0 Google, 1 shaded relief

    /// Returns the grid of a level. @throws tessaro::ArgumentError outside 1..22.
    [[nodiscard]] static SphericalGrid Google(int level);
    /// Returns the shaded-relief grid of a level. @throws tessaro::ArgumentError outside 1..22.
    [[nodiscard]] static SphericalGrid Shade(int level);

    /// Number of tiles per side: 2^(level + offset - 1).
    [[nodiscard]] std::int32_t TilesPerSide() const noexcept {
        return static_cast<std::int32_t>(n / 128);
    }

    /// Returns the column of a longitude: Int(N·(lon/180 + 1)) shifted right by 8.
    /// Not clamped: a longitude of 180 gives the column one past the last.
    /// @throws tessaro::OverflowError when the pixel coordinate leaves the 32-bit range.
    [[nodiscard]] std::int32_t LonToCol(double lon) const;

    /// Returns the row of a latitude, 0 at the north edge. Not clamped: latitudes beyond
    /// about ±85.0511° give rows outside the grid.
    /// @throws tessaro::OverflowError when the pixel coordinate leaves the 32-bit range
    /// (the poles themselves).
    [[nodiscard]] std::int32_t LatToRow(double lat) const;

    /// Returns the projected x of a column's west edge: (col·256 − N)·pixel size.
    [[nodiscard]] double ColToX(std::int32_t col) const noexcept;
    /// Returns the projected y of a row's north edge: (N − row·256)·pixel size.
    [[nodiscard]] double RowToY(std::int32_t row) const noexcept;

    /// Returns the column of a longitude clamped to the grid (0..TilesPerSide()-1). Equal to
    /// LonToCol inside the grid.
    [[nodiscard]] std::int32_t ClampedCol(double lon) const noexcept;
    /// Returns the row of a latitude clamped to the grid; equal to LatToRow inside it.
    [[nodiscard]] std::int32_t ClampedRow(double lat) const noexcept;
};

/// Returns value rounded to nine decimal places, exact ties to even.
[[nodiscard]] double RoundTo9Decimals(double value);

} // namespace tessaro::tiles
