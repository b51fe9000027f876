#pragma once

#include "mosaic/mosaic_codes.h"

#include <filesystem>
#include <optional>

/// @file
/// What a mosaic is asked for, apart from the engine that builds it: free of GDAL, so that the
/// command line reads its mosaic options without linking GDAL.
namespace tessaro::mosaic {

/// What the mosaic dialog (or the load command's mosaic options) asks for.
struct MosaicOptions {
    /// The output raster: a file in a folder, or a raster table in a GeoPackage
    /// (ResolveMosaicTarget). Empty: no name was given.
    std::filesystem::path output;
    /// "объединить с существующим": append the tiles to the existing output raster.
    bool combine = false;
    /// The mosaic operator; unset keeps the default (tiles over an existing raster).
    std::optional<MosaicOperator> mosaicOperator;
    /// The colour-map mode; it has no effect (see ColormapMode), which is said when it is set.
    std::optional<ColormapMode> colormapMode;
    /// How tiles are resampled where they do not fall on the mosaic's grid.
    Resampling resampling = Resampling::NearestNeighbor;
    /// The pixel type of a new mosaic; unset gives unsigned 8 bit. An appended raster keeps
    /// its own, and a different one given here is refused.
    std::optional<PixelType> pixelType;
    /// How a GeoTIFF's pixels are compressed; unset follows the tiles (JPEG for JPEG tiles,
    /// DEFLATE for PNG tiles). Other formats refuse it.
    std::optional<Compression> compression;
    /// Write a cloud-optimised GeoTIFF (GDAL's COG driver); other formats refuse it.
    bool cog = false;
};

} // namespace tessaro::mosaic
