#include "tiles/spherical_grid.h"

#include "common/error.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace tessaro::tiles {

namespace {

void CheckShiftCount(int count) {
    if (count < 0) {
        throw Error("A bit shift by a negative count (" + std::to_string(count) +
                        ") was asked for.",
                    ErrorNumber::InvalidProcedureCall);
    }
}

// Int(value) as a 32-bit integer: rounds toward minus infinity and fails outside the range,
// as the grid arithmetic has always done.
std::int32_t IntToLong(double value) {
    const double floored = std::floor(value);
    if (!(floored >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
          floored <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
        throw OverflowError("A tile coordinate does not fit a 32-bit integer.");
    }
    return static_cast<std::int32_t>(floored);
}

// Pixel coordinate clamped to the grid's pixels, then turned into a tile index. NaN and the
// infinities that the poles produce land on the edges.
std::int32_t ClampedTile(double pixelCoord, std::int64_t n) noexcept {
    const double last = static_cast<double>(2 * n - 1);
    double p = std::floor(pixelCoord);
    if (!(p >= 0.0)) {
        p = 0.0;
    } else if (p > last) {
        p = last;
    }
    return static_cast<std::int32_t>(static_cast<std::int64_t>(p) >> 8);
}

double MercatorRowFraction(double lat) noexcept {
    const double s = std::sin(lat * kDecimalPi / 180.0);
    return 1.0 - (0.5 * std::log((1.0 + s) / (1.0 - s))) / kDecimalPi;
}

SphericalGrid MakeGrid(int level, int offset) {
    if (level < 1 || level > kMaxLevel) {
        throw ArgumentError("The level must be a whole number from 1 to 22, not " +
                            std::to_string(level) + ".");
    }
    SphericalGrid grid;
    grid.level = level;
    grid.offset = offset;
    grid.n = std::int64_t{1} << (level + offset + 6);
    grid.pixelSize = RoundTo9Decimals(kHalfCircumference / static_cast<double>(grid.n));
    return grid;
}

} // namespace

std::int32_t Pow2(int exponent) {
    if (exponent < 0 || exponent > 31) {
        throw Error("Pow2 was asked for 2^" + std::to_string(exponent) +
                        "; the exponent must be 0..31.",
                    ErrorNumber::InvalidProcedureCall);
    }
    return static_cast<std::int32_t>(std::uint32_t{1} << exponent);
}

std::int32_t ShiftLeft(std::int32_t value, int count) {
    CheckShiftCount(count);
    if (count >= 32) {
        return 0;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) << count);
}

std::int32_t ShiftRight(std::int32_t value, int count) {
    CheckShiftCount(count);
    if (count >= 32) {
        return 0;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) >> count);
}

std::size_t QuadKeyInto(std::int32_t col, std::int32_t row, int level, char *out) noexcept {
    // Unsigned halves reproduce the 32-bit logical shifts of the key's definition.
    auto half = static_cast<std::uint32_t>(1) << (level - 1);
    auto c = static_cast<std::int64_t>(col);
    auto r = static_cast<std::int64_t>(row);
    std::size_t len = 0;
    out[len++] = 't';
    for (int i = 2; i <= level; ++i) {
        half >>= 1;
        const auto h = static_cast<std::int64_t>(half);
        if (r < h) {
            if (c < h) {
                out[len++] = 'q';
            } else {
                out[len++] = 'r';
                c -= h;
            }
        } else if (c < h) {
            out[len++] = 't';
            r -= h;
        } else {
            out[len++] = 's';
            c -= h;
            r -= h;
        }
    }
    return len;
}

std::string QuadKey(std::int32_t col, std::int32_t row, int level) {
    std::array<char, 64> buf{};
    if (level < 1 || level > 32) {
        throw Error("QuadKey was asked for level " + std::to_string(level) + ".",
                    ErrorNumber::InvalidProcedureCall);
    }
    return {buf.data(), QuadKeyInto(col, row, level, buf.data())};
}

double RoundTo9Decimals(double value) {
    // Correctly rounded decimal text of the exact binary value, read back: no error from
    // scaling by 1e9 can move a value across a rounding boundary.
    std::array<char, 400> buf{};
    auto res =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, 9);
    double rounded = 0;
    std::from_chars(buf.data(), res.ptr, rounded);
    return rounded;
}

SphericalGrid SphericalGrid::Google(int level) {
    return MakeGrid(level, 0);
}

SphericalGrid SphericalGrid::Shade(int level) {
    return MakeGrid(level, 1);
}

std::int32_t SphericalGrid::LonToCol(double lon) const {
    return ShiftRight(IntToLong(static_cast<double>(n) * (lon / 180.0 + 1.0)), 8);
}

std::int32_t SphericalGrid::LatToRow(double lat) const {
    return ShiftRight(IntToLong(static_cast<double>(n) * MercatorRowFraction(lat)), 8);
}

double SphericalGrid::ColToX(std::int32_t col) const noexcept {
    return static_cast<double>(static_cast<std::int64_t>(col) * kTilePixels - n) * pixelSize;
}

double SphericalGrid::RowToY(std::int32_t row) const noexcept {
    return static_cast<double>(n - static_cast<std::int64_t>(row) * kTilePixels) * pixelSize;
}

std::int32_t SphericalGrid::ClampedCol(double lon) const noexcept {
    return ClampedTile(static_cast<double>(n) * (lon / 180.0 + 1.0), n);
}

std::int32_t SphericalGrid::ClampedRow(double lat) const noexcept {
    return ClampedTile(static_cast<double>(n) * MercatorRowFraction(lat), n);
}

} // namespace tessaro::tiles
