#pragma once

// The follow-up step of a mosaic: the statistics of every band, stored with the raster.

#include "common/ui_port.h"
#include "mapout/gdal_support.h"
#include "mosaic/raster_format.h"

#include <gdal_priv.h>

namespace tessaro::mosaic::detail {

/// Computes the minimum, maximum, mean and standard deviation of every band of the whole
/// raster (pixels no tile covers included) and stores them with it (inside a GeoTIFF or
/// IMAGINE file, in a GeoPackage's metadata), where QGIS finds them to stretch the raster.
/// GDAL's ComputeStatistics would do the same but leave every block it read in the block
/// cache, up to the cache's size; reading window by window and dropping the blocks after each
/// window keeps memory flat. The progress label reads "Calculate statistics" meanwhile.
/// @throws mapout::GdalError naming the mosaic when the pixels cannot be read or the
///         statistics stored.
void ComputeStatistics(GDALDataset &out, mapout::GdalErrorCapture &capture,
                       const MosaicTarget &target, UiPort &ui);

} // namespace tessaro::mosaic::detail
