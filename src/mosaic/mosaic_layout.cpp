#include "mosaic/mosaic_layout.h"

#include "common/error.h"
#include "common/text.h"
#include "tiles/ellipsoidal_grid.h"
#include "tiles/tile_files.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace tessaro::mosaic {

namespace {

int PixelCount(double extent, double pixel, const char *what) {
    const double count = std::round(extent / pixel);
    if (!(count >= 1) || count > 2'000'000'000.0) {
        throw Error(std::string("The mosaic would be ") + FormatDouble(count) + " pixels " + what +
                    ", beyond what a raster holds");
    }
    return static_cast<int>(count);
}

// Whole pixels from a side of the old raster to a side of the union, rounded up: a tile edge
// a hair beyond the old grid's line does not add a column.
double PixelsBeyond(double distance, double pixel) {
    return distance > 0 ? std::ceil(distance / pixel - 1e-6) : 0.0;
}

} // namespace

void Extent::Include(const Extent &other) noexcept {
    west = std::min(west, other.west);
    south = std::min(south, other.south);
    east = std::max(east, other.east);
    north = std::max(north, other.north);
}

Extent TileExtent(tiles::TilesType type, const tiles::TileRecord &record, int level) noexcept {
    Extent e;
    if (tiles::IsEllipsoidal(type)) {
        e.west = record.x;
        e.north = record.y + tiles::kTilePixels * tiles::ResN(level);
    } else {
        e.west = record.x - record.resX / 2;
        e.north = record.y - record.resY / 2;
    }
    e.east = e.west + tiles::kTilePixels * record.resX;
    e.south = e.north + tiles::kTilePixels * record.resY;
    return e;
}

MosaicGrid NewGrid(const Extent &tiles, double pixelWidth, double pixelHeight) {
    MosaicGrid grid;
    grid.width = PixelCount(tiles.east - tiles.west, pixelWidth, "wide");
    grid.height = PixelCount(tiles.north - tiles.south, pixelHeight, "high");
    grid.geoTransform = {tiles.west, pixelWidth, 0, tiles.north, 0, -pixelHeight};
    return grid;
}

MosaicGrid AppendGrid(const std::array<double, 6> &oldGeoTransform, int oldWidth, int oldHeight,
                      const Extent &tiles) {
    const double pw = oldGeoTransform[1];
    const double ph = -oldGeoTransform[5];
    const double oldWest = oldGeoTransform[0];
    const double oldNorth = oldGeoTransform[3];
    const double oldEast = oldWest + pw * oldWidth;
    const double oldSouth = oldNorth - ph * oldHeight;
    const double left = PixelsBeyond(oldWest - tiles.west, pw);
    const double top = PixelsBeyond(tiles.north - oldNorth, ph);
    const double right = PixelsBeyond(tiles.east - oldEast, pw);
    const double bottom = PixelsBeyond(oldSouth - tiles.south, ph);
    MosaicGrid grid;
    grid.width = PixelCount((left + right) * pw + (oldEast - oldWest), pw, "wide");
    grid.height = PixelCount((top + bottom) * ph + (oldNorth - oldSouth), ph, "high");
    grid.geoTransform = {oldWest - left * pw, pw, 0, oldNorth + top * ph, 0, -ph};
    grid.oldX = static_cast<int>(left);
    grid.oldY = static_cast<int>(top);
    grid.oldWidth = oldWidth;
    grid.oldHeight = oldHeight;
    return grid;
}

Placement Place(const Extent &tile, int tileWidth, int tileHeight,
                const MosaicGrid &grid) noexcept {
    const auto &gt = grid.geoTransform;
    const double x0 = (tile.west - gt[0]) / gt[1];
    const double x1 = (tile.east - gt[0]) / gt[1];
    const double y0 = (tile.north - gt[3]) / gt[5];
    const double y1 = (tile.south - gt[3]) / gt[5];
    Placement p;
    constexpr double kTolerance = 1e-6; // world files carry 15 digits
    if (std::abs(x0 - std::round(x0)) < kTolerance && std::abs(y0 - std::round(y0)) < kTolerance &&
        std::abs(x1 - x0 - tileWidth) < kTolerance && std::abs(y1 - y0 - tileHeight) < kTolerance) {
        p.aligned = true;
        p.x = static_cast<int>(std::round(x0));
        p.y = static_cast<int>(std::round(y0));
        p.width = tileWidth;
        p.height = tileHeight;
    } else {
        // Pixel i belongs to the tile when its centre i + 0.5 lies in [x0, x1).
        p.x = static_cast<int>(std::ceil(x0 - 0.5));
        p.y = static_cast<int>(std::ceil(y0 - 0.5));
        p.width = static_cast<int>(std::ceil(x1 - 0.5)) - p.x;
        p.height = static_cast<int>(std::ceil(y1 - 0.5)) - p.y;
        const double scaleX = tileWidth / (x1 - x0);
        const double scaleY = tileHeight / (y1 - y0);
        p.srcX = (p.x - x0) * scaleX;
        p.srcY = (p.y - y0) * scaleY;
        p.srcWidth = p.width * scaleX;
        p.srcHeight = p.height * scaleY;
    }
    // Keep to the mosaic; a tile never reaches beyond it except by rounding.
    const int cutLeft = std::max(0, -p.x);
    const int cutTop = std::max(0, -p.y);
    const int cutRight = std::max(0, p.x + p.width - grid.width);
    const int cutBottom = std::max(0, p.y + p.height - grid.height);
    if (cutLeft + cutTop + cutRight + cutBottom > 0) {
        if (p.aligned) {
            p.aligned = false;
            p.srcX = p.srcY = 0;
            p.srcWidth = tileWidth;
            p.srcHeight = tileHeight;
        }
        const double sx = p.srcWidth / p.width;
        const double sy = p.srcHeight / p.height;
        p.srcX += cutLeft * sx;
        p.srcY += cutTop * sy;
        p.x += cutLeft;
        p.y += cutTop;
        p.width -= cutLeft + cutRight;
        p.height -= cutTop + cutBottom;
        p.srcWidth = p.width * sx;
        p.srcHeight = p.height * sy;
    }
    return p;
}

} // namespace tessaro::mosaic
