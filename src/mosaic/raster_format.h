#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessaro::mosaic {

/// Shown for an output name whose extension names no raster format the mosaic writes.
inline constexpr std::string_view kInvalidFormatMessage = "Invalid raster format";

/// The output formats of the mosaic.
enum class RasterFormat {
    GeoTiff,         ///< ".tif": GeoTIFF (the host's "TIFF"), GDAL driver GTiff
    Imagine,         ///< ".img": ERDAS IMAGINE ("IMAGINE Image"), GDAL driver HFA
    GeoPackage,      ///< a raster table in a GeoPackage, in place of the host's "SDR"
    Vrt,             ///< ".vrt": a virtual mosaic (GDAL's VRT) that reads the tile files
    Grid,            ///< a name without extension: ArcInfo GRID, which GDAL cannot write
    FileGeodatabase, ///< a raster in a File Geodatabase, which GDAL cannot write
    Invalid,         ///< any other extension
};

/// Returns the format an output name's extension gives, letter case ignored: ".tif" GeoTiff,
/// ".img" Imagine, ".vrt" Vrt, no extension Grid, anything else Invalid. The extension runs from
/// the name's first dot, so "a.b.tif" is Invalid, as the mosaic dialog reads it.
[[nodiscard]] RasterFormat FormatOfName(std::string_view name) noexcept;

/// Returns the GDAL driver that writes a format; empty for the formats GDAL cannot write.
[[nodiscard]] std::string_view DriverOf(RasterFormat format) noexcept;

/// Where a mosaic goes: a file in a folder, or a raster table in a database file.
struct MosaicTarget {
    RasterFormat format = RasterFormat::Invalid;
    std::filesystem::path location; ///< the folder, or the database file
    std::string name;               ///< the file name in the folder, or the table name

    /// True for a raster table in a database file.
    [[nodiscard]] bool InDatabase() const noexcept {
        return format == RasterFormat::GeoPackage || format == RasterFormat::FileGeodatabase;
    }
    /// The file that holds the raster: location / name, or the database file.
    [[nodiscard]] std::filesystem::path File() const;
    /// The name GDAL opens the raster by: the file's path, or "GPKG:<file>:<table>".
    [[nodiscard]] std::string OpenName() const;
};

/// Splits an output path into location and name and gives its format:
/// - "<db>.gpkg/<table>": the raster table <table> in the GeoPackage <db>.gpkg (existing, or
///   to be created in an existing folder), whatever the table name's extension;
/// - "<name>.gpkg": a GeoPackage file holding one raster table named <name>;
/// - "<db>.gdb/<name>": FileGeodatabase;
/// - any other path: the file's name in its folder, the format from FormatOfName.
/// Database file extensions compare without regard to letter case. A relative path stays
/// relative; the folder "." stands for an output without folder.
[[nodiscard]] MosaicTarget ResolveMosaicTarget(const std::filesystem::path &output);

} // namespace tessaro::mosaic
