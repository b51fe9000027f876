#pragma once

#include "cli/options.h"
#include "mosaic/mosaic_options.h"

#include <array>
#include <optional>
#include <string_view>

namespace tessaro::cli {

/// The mosaic options of the load command:
///   --mosaic OUT [--mosaic-type MT_FIRST|MT_LAST|MT_MIN|MT_MAX|MT_MEAN|MT_BLEND]
///   [--colormap-mode MM_REJECT|MM_FIRST|MM_LAST|MM_MATCH]
///   [--resample NearestNeighbor|BilinearInterpolation|CubicConvolution]
///   [--datatype "1 bit"|...|"unsigned 8 bit"|...|"double"] [--combine]
///   [--compress jpeg|deflate] [--cog]
inline constexpr std::array<OptionSpec, 8> kMosaicOptions{{
    {"mosaic", true, false},
    {"mosaic-type", true, false},
    {"colormap-mode", true, false},
    {"resample", true, false},
    {"datatype", true, false},
    {"combine", false, false},
    {"compress", true, false},
    {"cog", false, false},
}};

/// Help text of the mosaic options, for the usage of a command that takes them.
inline constexpr std::string_view kMosaicOptionsHelp =
    R"(Mosaic (after the tiles are loaded):
  --mosaic OUT          build one raster of the run's tiles: OUT.tif (GeoTIFF: tiled, masked
                        where no tile lies, with overviews, BigTIFF past 4 GB), OUT.img (ERDAS
                        IMAGINE), DB.gpkg/TABLE (a raster table in a GeoPackage), OUT.gpkg (a
                        GeoPackage of one table OUT) or OUT.vrt (a virtual mosaic that reads
                        the tile files where they lie; no pixel copied); a name without
                        extension (ArcInfo GRID) cannot be written. An existing OUT is refused
                        unless --combine is given.
  --compress C          jpeg or deflate: how a .tif is compressed (default: jpeg, in YCbCr at
                        quality 90, for JPEG tiles; deflate with a predictor for PNG tiles);
                        jpeg applies to 8-bit mosaics only, others take deflate
  --cog                 write the .tif as a cloud-optimised GeoTIFF (GDAL's COG driver)
  --combine             append the tiles to the existing raster OUT (not a .vrt): the result
                        covers both, the old pixels stay where no tile lies; OUT is replaced
                        only when the new raster is complete
  --mosaic-type T       MT_FIRST, MT_LAST, MT_MIN, MT_MAX, MT_MEAN: how tiles combine with an
                        existing raster where they overlap it (default: tiles replace it);
                        MT_BLEND is refused with --combine. Tiles of one run never overlap.
  --colormap-mode M     MM_REJECT, MM_FIRST, MM_LAST, MM_MATCH: accepted, but it has no effect
                        (palette tiles are expanded to RGB first), which is said when given
  --resample R          NearestNeighbor (default), BilinearInterpolation, CubicConvolution:
                        used where tiles do not fall on the grid of the raster appended to
  --datatype D          "1 bit", "2 bit", "4 bit", "unsigned 8 bit" (default), "signed 8 bit",
                        "unsigned 16 bit", "signed 16 bit", "unsigned 32 bit", "signed 32 bit",
                        "float", "double"; tile values are clamped to the type's range
)";

/// Reads the mosaic options: nothing when --mosaic is absent.
/// @throws tessaro::ArgumentError for an empty --mosaic, a list value that is not one of the
/// texts above (letter case matters, as in the dialog's lists), or another mosaic option given
/// without --mosaic.
[[nodiscard]] std::optional<mosaic::MosaicOptions> ReadMosaicOptions(const ParsedOptions &options);

} // namespace tessaro::cli
