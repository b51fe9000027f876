#pragma once

// The raster a mosaic writes: what the output holds before the run, whether an existing
// raster can take the tiles, its layout, and creating it with GDAL.

#include "common/ui_port.h"
#include "mapout/gdal_support.h"
#include "mosaic/mosaic_layout.h"
#include "mosaic/mosaic_raster.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessaro::mosaic::detail {

/// The output raster: its grid, band layout, pixel type and coordinate system.
struct OutputLayout {
    MosaicGrid grid;
    int bands = 3; ///< red, green, blue and, for four, alpha
    PixelType pixelType = PixelType::U8;
    OGRSpatialReference srs;
    bool appending = false; ///< the grid holds an existing raster's pixels
};

/// What the output holds before the run.
enum class TargetState {
    Absent,   ///< nothing of that name
    Raster,   ///< a raster GDAL opens
    Occupied, ///< a file or table of that name that GDAL does not open as a raster
};

struct Probe {
    TargetState state = TargetState::Absent;
    GDALDatasetUniquePtr raster; ///< the existing raster, read-only, when state is Raster
};

/// Looks at what the output's name holds now.
/// @throws mapout::GdalError when a GeoPackage of that name exists but does not open.
[[nodiscard]] Probe ProbeTarget(const MosaicTarget &target);

/// Returns the layout of a new mosaic over the tiles' extent: three bands, or four with alpha
/// in a GeoPackage, whose alpha band keeps pixels no tile covers transparent.
[[nodiscard]] OutputLayout NewLayout(const RasterArr &arr, PixelType pixelType,
                                     const OGRSpatialReference &srs, bool geoPackage);

/// Checks an existing raster for appending and lays the union out on its grid. Returns
/// nothing, after a message with the exclamation icon, when the raster cannot take the tiles
/// (MT_BLEND asked for, no north-up georeferencing, bands other than RGB or RGBA, a pixel
/// type it does not hold, another coordinate system).
[[nodiscard]] std::optional<OutputLayout> AppendLayout(GDALDataset &old, const RasterArr &arr,
                                                       const OGRSpatialReference &tilesSrs,
                                                       const MosaicOptions &options,
                                                       const MosaicTarget &target, UiPort &ui);

/// Creates the raster to write, georeferenced, with the creation options of its format.
/// @param intoExistingDatabase the file is a copy of an existing GeoPackage that gets the
///        raster table beside what it holds.
/// @throws mapout::GdalError naming the output and GDAL's reason.
[[nodiscard]] GDALDatasetUniquePtr CreateOutput(const std::filesystem::path &file,
                                                const MosaicTarget &target,
                                                const OutputLayout &layout,
                                                bool intoExistingDatabase);

/// Throws when GDAL reported a failure on the output since the capture was last cleared
/// (a write that the block cache put off fails when the cache is flushed).
void CheckWrites(const mapout::GdalErrorCapture &capture, const MosaicTarget &target);

/// Copies the existing raster into its window of the new one, square by square in its own
/// pixel type, so that memory holds one square whatever the raster's size.
void CopyOldRaster(GDALDataset &old, GDALDataset &out, const OutputLayout &layout,
                   mapout::GdalErrorCapture &capture, const MosaicTarget &target);

} // namespace tessaro::mosaic::detail
