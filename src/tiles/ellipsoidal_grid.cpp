#include "tiles/ellipsoidal_grid.h"

#include "common/error.h"
#include "common/text.h"
#include "tiles/spherical_grid.h"

#include <cmath>
#include <limits>

namespace tessaro::tiles {

namespace {

std::int32_t FloorToInt32(double value) {
    const double floored = std::floor(value);
    if (!(floored >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
          floored <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
        throw OverflowError("A tile coordinate does not fit a 32-bit integer.");
    }
    return static_cast<std::int32_t>(floored);
}

std::int32_t ClampIndex(double tileCoord, int level) noexcept {
    const double half = std::ldexp(1.0, level - 1);
    double t = std::floor(tileCoord);
    if (!(t >= -half)) {
        t = -half;
    } else if (t > half - 1.0) {
        t = half - 1.0;
    }
    return static_cast<std::int32_t>(t);
}

} // namespace

double ResN(int level) noexcept {
    const double pi = 4.0 * std::atan(1.0);
    return (2.0 * pi * kSemiMajor / 256.0) / std::ldexp(1.0, level);
}

double DegToRad(double degrees) noexcept {
    return degrees * (kDecimalPi / 180.0);
}

double LonToMercX(double lon) noexcept {
    return DegToRad(lon) * kSemiMajor;
}

double LatToMercY(double &lat) noexcept {
    if (lat > kMercatorLatLimit) {
        lat = kMercatorLatLimit;
    } else if (lat < -kMercatorLatLimit) {
        lat = -kMercatorLatLimit;
    }
    const double ratio = kSemiMinor / kSemiMajor;
    const double e = std::sqrt(1.0 - ratio * ratio);
    const double phi = DegToRad(lat);
    const double esin = e * std::sin(phi);
    const double con = std::pow((1.0 - esin) / (1.0 + esin), e / 2.0);
    return 0.0 - kSemiMajor * std::log(std::tan(0.5 * (1.570796326794895 - phi)) / con);
}

std::int64_t YandexX(std::int64_t column, int level) noexcept {
    return (std::int64_t{1} << level) / 2 + column;
}

std::int64_t YandexY(std::int64_t row, int level) noexcept {
    return (std::int64_t{1} << level) / 2 - row - 1;
}

std::string ScanBlockName(std::int64_t x, std::int64_t y, int level) {
    std::string body;
    AppendInt(body, level);
    body += '_';
    AppendInt(body, x);
    body += '_';
    AppendInt(body, y);
    return body;
}

std::string_view BlockNamePrefix(int tilesTypeCode) noexcept {
    switch (tilesTypeCode) {
    case 2:
        return "s";
    case 3:
        return "m";
    case 50:
        return "sy";
    case 51:
        return "my";
    default:
        return {};
    }
}

EllipsoidalGrid EllipsoidalGrid::ForLevel(int level) {
    if (level < 1 || level > kMaxLevel) {
        throw ArgumentError("The level must be a whole number from 1 to 22, not " +
                            std::to_string(level) + ".");
    }
    EllipsoidalGrid grid;
    grid.level = level;
    grid.pixelSize = ResN(level);
    grid.tileSize = 256.0 * grid.pixelSize;
    return grid;
}

std::int32_t EllipsoidalGrid::LonToCol(double lon) const {
    return FloorToInt32(LonToMercX(lon) / tileSize);
}

std::int32_t EllipsoidalGrid::LatToRow(double &lat) const {
    return FloorToInt32(LatToMercY(lat) / tileSize);
}

std::int32_t EllipsoidalGrid::ClampedCol(double lon) const noexcept {
    return ClampIndex(LonToMercX(lon) / tileSize, level);
}

std::int32_t EllipsoidalGrid::ClampedRow(double lat) const noexcept {
    return ClampIndex(LatToMercY(lat) / tileSize, level);
}

} // namespace tessaro::tiles
