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
    /// How a GeoTIFF is compressed: JPEG only for three 8-bit bands, else DEFLATE.
    Compression compression = Compression::Deflate;
    /// A GeoTIFF of three bands gets an internal mask, set where pixels hold data.
    bool mask = false;
    /// The GeoTIFF is the lossless source of a cloud-optimised copy: DEFLATE at its fastest
    /// level and no overviews, which the copy makes.
    bool cogSource = false;
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

/// Returns the layout of a new mosaic over the tiles' extent: three bands (with a mask in a
/// GeoTIFF), or four with alpha in a GeoPackage or VRT, so that pixels no tile covers stay
/// transparent; compressed as options asks, else as the tiles are (JPEG or DEFLATE).
[[nodiscard]] OutputLayout NewLayout(const RasterArr &arr, const OGRSpatialReference &srs,
                                     const MosaicOptions &options, RasterFormat format);

/// Checks an existing raster for appending and lays the union out on its grid. Returns
/// nothing, after a message with the exclamation icon, when the raster cannot take the tiles
/// (MT_BLEND asked for, no north-up georeferencing, bands other than RGB or RGBA, a pixel
/// type it does not hold, another coordinate system).
[[nodiscard]] std::optional<OutputLayout> AppendLayout(GDALDataset &old, const RasterArr &arr,
                                                       const OGRSpatialReference &tilesSrs,
                                                       const MosaicOptions &options,
                                                       const MosaicTarget &target, UiPort &ui);

/// True when a GeoTIFF of this layout needs BigTIFF: when its pixels, mask and overviews
/// uncompressed could come near the 4 GB a classic TIFF can address (compression is not
/// counted on: noise hardly compresses).
[[nodiscard]] bool NeedsBigTiff(const OutputLayout &layout) noexcept;

/// Returns the overview factors of a raster: 2, 4, 8, … down to the first level whose longer
/// side is at most 256 pixels; none for a raster of at most 256 pixels a side.
[[nodiscard]] std::vector<int> OverviewFactors(int width, int height);

/// Builds the internal overviews of a GeoTIFF (OverviewFactors, averaged, with its mask's),
/// the progress label reading "Build overviews".
/// @throws mapout::GdalError naming the mosaic when GDAL cannot build them; RunStopped when
///         the user stopped the run meanwhile.
void BuildOverviews(GDALDataset &out, mapout::GdalErrorCapture &capture, const MosaicTarget &target,
                    UiPort &ui);

/// Copies a finished GeoTIFF into a cloud-optimised one with GDAL's COG driver: tiled 256,
/// compressed as the layout asks, overviews averaged, the mask and statistics carried over.
/// @throws mapout::GdalError naming the mosaic when GDAL cannot write it; RunStopped when the
///         user stopped the run meanwhile.
void WriteCog(const std::filesystem::path &source, const std::filesystem::path &file,
              const OutputLayout &layout, const MosaicTarget &target, UiPort &ui);

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
/// pixel type, so that memory holds one square whatever the raster's size; with a mask, the
/// old raster's mask (all set for a raster without one) goes along.
void CopyOldRaster(GDALDataset &old, GDALDataset &out, const OutputLayout &layout,
                   mapout::GdalErrorCapture &capture, const MosaicTarget &target);

} // namespace tessaro::mosaic::detail
