#pragma once

// Where the pixels of a mosaic go: its grid, where an existing raster and each tile land on
// it. Plain arithmetic on the tiles' records and GDAL geotransforms, without GDAL itself.

#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <array>

namespace tessaro::mosaic {

/// A north-up rectangle of ground in the tiles' coordinate system (metres).
struct Extent {
    double west = 0;
    double south = 0;
    double east = 0;
    double north = 0;

    /// Grows the extent to cover another one as well.
    void Include(const Extent &other) noexcept;
};

/// Returns the ground a tile image of 256 × 256 pixels covers, from its record as the world
/// file has it: x, y the centre of the upper-left pixel on the spherical grids (Google,
/// shaded relief), the south-west corner on the ellipsoidal one (ScanEx, Yandex), whose tiles
/// are 256·ResN(level) high.
[[nodiscard]] Extent TileExtent(tiles::TilesType type, const tiles::TileRecord &record,
                                int level) noexcept;

/// A pixel grid of a mosaic: GDAL's geotransform (north-up: gt[2] = gt[4] = 0, gt[5] < 0) and
/// its size, and the window of the existing raster's pixels in it when appending (empty for a
/// new mosaic).
struct MosaicGrid {
    std::array<double, 6> geoTransform{};
    int width = 0;
    int height = 0;
    int oldX = 0; ///< column of the existing raster's upper-left pixel
    int oldY = 0; ///< row of the existing raster's upper-left pixel
    int oldWidth = 0;
    int oldHeight = 0;

    /// True when pixel (x, y) holds a pixel of the existing raster.
    [[nodiscard]] bool InsideOld(int x, int y) const noexcept {
        return x >= oldX && x < oldX + oldWidth && y >= oldY && y < oldY + oldHeight;
    }
};

/// Returns the grid of a new mosaic: the extent cut into pixels of the given ground size
/// (both positive), from its north-west corner; the pixel counts are rounded to the nearest.
/// @throws Error when a side would be less than one pixel or more than 2 000 000 000.
[[nodiscard]] MosaicGrid NewGrid(const Extent &tiles, double pixelWidth, double pixelHeight);

/// Returns the grid of an existing raster (north-up geotransform, width × height pixels)
/// grown by whole pixels of its own size on each side the tiles reach beyond it, so that it
/// covers both; the old pixels keep their grid and lie at (oldX, oldY). A tile edge less than
/// a millionth of a pixel beyond the raster's edge adds no pixel.
/// @throws Error as NewGrid does.
[[nodiscard]] MosaicGrid AppendGrid(const std::array<double, 6> &oldGeoTransform, int oldWidth,
                                    int oldHeight, const Extent &tiles);

/// Where a tile goes in a mosaic: the mosaic pixels whose centres lie on the tile, cut to the
/// mosaic, and the part of the tile (in its own pixels, not necessarily whole) they cover.
struct Placement {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool aligned = false; ///< the tile's pixels are the mosaic's: copied as they are
    double srcX = 0;      ///< the source window when not aligned
    double srcY = 0;
    double srcWidth = 0;
    double srcHeight = 0;

    /// True when the placement shares at least one pixel with the existing raster's window.
    [[nodiscard]] bool Overlaps(const MosaicGrid &grid) const noexcept {
        return x < grid.oldX + grid.oldWidth && x + width > grid.oldX &&
               y < grid.oldY + grid.oldHeight && y + height > grid.oldY;
    }
};

/// Returns where a tile of tileWidth × tileHeight pixels covering the given ground goes in the
/// grid. A tile whose corners fall on the grid's lines (within a millionth of a pixel) and
/// whose pixels have the grid's size is aligned; any other is resampled from the source
/// window. Width or height are 0 or less when the tile lies outside the grid.
[[nodiscard]] Placement Place(const Extent &tile, int tileWidth, int tileHeight,
                              const MosaicGrid &grid) noexcept;

} // namespace tessaro::mosaic
