#pragma once

#include "common/ui_port.h"
#include "download/side_file.h"
#include "tiles/tiles_type.h"

#include <ogr_spatialref.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro::mapout {

// The tiles' coordinate systems and side files, which the download layer writes without GDAL.
using download::CoordSystemCodeOf;
using download::FolderText;
using download::kSetSpatialReferenceLabel;
using download::kSphereMercator;
using download::kWebMercator;
using download::kWorldMercator;
using download::OpenRasterWorkspace;
using download::RasterWorkspaceMessage;
using download::SideFilePath;

/// Factory code of WGS 84 degrees.
inline constexpr int kWgs84 = 4326;

/// Returns the projected coordinate system of a factory code (an EPSG code, or else an ESRI
/// one: 53004 gives ESRI:53004, 54004 ESRI:54004), with the easting-northing axis order.
/// @throws GdalError when PROJ knows no projected system of that code.
[[nodiscard]] OGRSpatialReference SetProjectedCoordSystem(int code);

/// Returns the geographic coordinate system of a factory code (4326: WGS 84), with the
/// longitude-latitude axis order of GIS software (OAMS_TRADITIONAL_GIS_ORDER).
/// @throws GdalError when PROJ knows no geographic system of that code.
[[nodiscard]] OGRSpatialReference SetGeographicCoordSystem(int code);

/// True when two systems give points the same coordinates: the same system by OGR's rules,
/// or the same PROJ definition. A raster written by another program may spell the sphere of
/// ESRI:53004 with an EPSG datum of that radius and another angle unit, which OGR holds apart
/// though every coordinate is the same.
[[nodiscard]] bool SameCoordinates(const OGRSpatialReference &a, const OGRSpatialReference &b);

/// Returns the name of a coordinate system for messages ("an unnamed coordinate system" for
/// none or one without a name).
[[nodiscard]] std::string SystemName(const OGRSpatialReference *srs);

/// True when the side file exists and its SRS element describes the same coordinate system
/// as srs. Statistics and other content of the file do not matter; a missing, unreadable or
/// malformed file gives false.
[[nodiscard]] bool SideFileHolds(const std::filesystem::path &sideFile,
                                 const OGRSpatialReference &srs);

} // namespace tessaro::mapout
