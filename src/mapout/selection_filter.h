#pragma once

#include "common/ui_port.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <ogr_geometry.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::mapout {

/// Shown by the load run when it is to keep the tiles that meet the selection and nothing is
/// selected.
inline constexpr std::string_view kNoSelectionMessage = "На карте нет выбранных объектов";
/// Shown by the load run when no tile of the request meets the selection (or the filter
/// failed).
inline constexpr std::string_view kNoIntersectionMessage =
    "Указанный регион не имеет пересечений с выделенными элементами";

/// Caption of the progress label while the selected shapes are prepared.
inline constexpr std::string_view kFilterGeometryLabel = "Create Geometry";
/// Caption of the progress label while the tiles are tested.
inline constexpr std::string_view kFilterLabel = "FilterBySelection";

/// The selected shapes, in selection order. Each geometry carries its coordinate system as
/// its assigned spatial reference (OGRGeometry::getSpatialReference), with the data-axis
/// order that reference declares (OGR layers give x = longitude for geographic systems).
using Selection = std::vector<OGRGeometryUniquePtr>;

/// What FilterBySelection gives.
struct FilterResult {
    std::vector<tiles::TileRecord> kept; ///< the tiles that meet the selection, in list order
    /// Index of the last kept tile in `kept` (its size − 1); −1 when no tile meets the
    /// selection or an error ended the filter.
    std::int64_t lastIndex = -1;
};

/// How a selected shape takes part in the filter, by its geometry type (Z and M ignored).
enum class ShapeDimension {
    Point = 0,   ///< Point: kept tiles contain it (their edges included)
    Line = 1,    ///< LineString, MultiLineString and the curves: a stretch of positive length
                 ///< lies in the tile (inside or along its edge)
    Polygon = 2, ///< Polygon, MultiPolygon, CurvePolygon, MultiSurface: an overlap of
                 ///< positive area with the tile
    None = -1,   ///< everything else (MultiPoint, GeometryCollection, surfaces of 3-D
                 ///< models, empty shapes): meets no tile
};

/// Returns the dimension a shape is intersected in. A multi-part line or polygon counts as
/// one shape of its parts' dimension, as a polyline or polygon of several parts does in GIS
/// software; a multipoint meets no tile, nor does a collection of mixed parts.
[[nodiscard]] ShapeDimension DimensionOf(const OGRGeometry &shape) noexcept;

/// Keeps the tiles of a list whose ground polygon meets at least one selected shape, in list
/// order.
///
/// The ground polygon of a tile is the one MakeBlockPolygon builds from its reference point
/// and pixel sizes, the reference point moved up by BlockShiftY for ScanEx and Yandex; it lies
/// in the coordinate system of the source (ESRI:54004 for ScanEx and Yandex, ESRI:53004 for
/// the others). Every shape is projected into that system once; a shape without a coordinate
/// system is taken to be in it already. A tile is kept when the intersection of its polygon
/// with a shape, taken in the shape's dimension (DimensionOf), is not empty: a point on the
/// polygon's edge keeps the tile, a line must run inside the tile or along its edge for some
/// length (crossing or touching it at single points does not keep it), a polygon must overlap
/// it by some area (sharing an edge does not keep it). Polygon rings are read by the even-odd
/// rule, so their orientation does not matter. The result equals that of testing every tile
/// against every shape in turn.
///
/// Any error (a type without a coordinate system, a shape PROJ cannot project) is reported
/// through the error report under "FilterBySelection " in message-box mode; the result then
/// holds no tiles and −1. The progress label reads "Create Geometry" while the shapes are
/// prepared and "FilterBySelection" while the tiles are tested; both are cleared at the end.
///
/// @param sourceText the source's name in the source list; not needed to filter, kept so the
///        call reads as the load run's other steps.
///
/// Complexity: the shapes are projected and indexed once (an R-tree of their envelopes, and
/// of the segments of any shape with many vertices); each tile then costs one index query and
/// an exact test only against the shapes whose envelopes meet its polygon, O(log s + log v)
/// for s shapes of v vertices in typical cases. Memory: the projected shapes plus 72 bytes per
/// kept tile; the list itself is walked, never copied.
[[nodiscard]] FilterResult FilterBySelection(const tiles::TileList &list, tiles::TilesType type,
                                             int level, std::string_view sourceText,
                                             const Selection &selection, UiPort &ui);

/// Reads the selected features of a vector data source OGR opens (a shapefile, a GeoPackage,
/// GeoJSON, …): the geometries of the features of every layer, layer by layer in the data
/// source's order and feature by feature in each layer's order, each with its layer's
/// coordinate system. Only a layer's first geometry field is read; a feature without geometry
/// is a null entry (it is selected, but meets no tile).
///
/// @param where an OGR attribute filter (SQL WHERE syntax) applied to every layer; empty
///        selects all features. A filter a layer cannot evaluate (a field it lacks) is an
///        error naming that layer.
/// @throws GdalError when the source cannot be opened as vector data, or a layer refuses the
///         filter or cannot be read; the message names the file, the layer and GDAL's reason.
[[nodiscard]] Selection ReadSelection(const std::filesystem::path &source,
                                      const std::string &where = {});

/// An extent in WGS 84 degrees, as the dialog's extent boxes hold it.
struct GeoExtent {
    double lat1 = 0; ///< south
    double lat2 = 0; ///< north
    double lon1 = 0; ///< west
    double lon2 = 0; ///< east
};

/// Returns the union of the selected shapes' extents, each extent projected into WGS 84
/// (EPSG:4326, longitude-latitude order) by OGR's TransformBounds, which follows the
/// extent's edges rather than its corners alone. Empty shapes are passed over; nothing comes
/// back when no shape has an extent. An extent whose projection wraps across the 180th
/// meridian is widened to the whole range of longitudes.
/// @throws GdalError when a shape has no coordinate system or PROJ cannot project its extent.
[[nodiscard]] std::optional<GeoExtent> SelectionExtent(const Selection &selection);

/// Returns "LAT1,LAT2,LON1,LON2" with up to 15 significant digits and "." as the decimal point
/// (FormatDouble), the order of the command line's --extent option.
[[nodiscard]] std::string ExtentText(const GeoExtent &extent);

} // namespace tessaro::mapout
