#include "mapout/selection_filter.h"

#include "common/error.h"
#include "common/error_report.h"
#include "common/progress.h"
#include "common/text.h"
#include "mapout/block_index.h"
#include "mapout/envelope_index.h"
#include "mapout/gdal_support.h"
#include "mapout/spatial_reference.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace tessaro::mapout {

namespace fs = std::filesystem;

namespace {

using detail::Box;
using detail::EnvelopeIndex;

struct Vertex {
    double x;
    double y;
};

// Shapes with more segments than this get an index of their own segments, so that a tile
// looks only at the few segments near it instead of walking a long boundary.
constexpr std::size_t kIndexedSegments = 32;

// Coordinates closer than this (metres in the tiles' systems) count as the same, as a GIS
// treats coordinates within its XY tolerance. Tile edges are computed from each tile's own
// reference point, so neighbours overlap by rounding slivers of about 1e-9 m; a shape that
// only shares an edge with a tile, or was drawn along the edges of a block-index polygon,
// must not keep the tile beyond it for such a sliver.
constexpr double kTolerance = 0.001;

// Where along a segment a → b it lies inside a box: the parameters t ∈ [0, 1] of the
// segment's points satisfy `lower ≤ t ≤ upper` (closed box) or `lower < t < upper` (open box)
// with every side's constraint folded in by Liang–Barsky clipping. Each constraint has the
// form p·t ≤ q (or p·t < q); q is computed as a difference of the coordinates themselves, so
// an endpoint lying exactly on a side gives exactly 0 there.
struct Clip {
    double lower = -HUGE_VAL;
    double upper = HUGE_VAL;
    bool empty = false;

    void Constrain(double p, double q, bool strict) {
        if (p == 0) {
            if (strict ? !(q > 0) : !(q >= 0)) {
                empty = true;
            }
            return;
        }
        const double r = q / p;
        if (p < 0) {
            lower = std::max(lower, r);
        } else {
            upper = std::min(upper, r);
        }
    }

    void To(const Vertex &a, const Vertex &b, const Box &box, bool strict) {
        const double dx = b.x - a.x;
        const double dy = b.y - a.y;
        Constrain(-dx, a.x - box.minX, strict);
        Constrain(dx, box.maxX - a.x, strict);
        Constrain(-dy, a.y - box.minY, strict);
        Constrain(dy, box.maxY - a.y, strict);
    }
};

// True when the segment has a stretch longer than the tolerance inside the closed box
// (inside it or along one of its sides). A segment that only touches the box at a point, or
// cuts across one of its corners within the tolerance, has none.
bool HasStretchInside(const Vertex &a, const Vertex &b, const Box &box) {
    const double length = std::hypot(b.x - a.x, b.y - a.y);
    if (!(length > kTolerance)) {
        return false;
    }
    Clip clip;
    clip.To(a, b, box, false);
    return !clip.empty &&
           (std::min(clip.upper, 1.0) - std::max(clip.lower, 0.0)) * length > kTolerance;
}

// The box with every side moved inwards by the tolerance (by less for a box too small).
Box Shrunk(const Box &box) {
    const double d = std::min(kTolerance, std::min(box.maxX - box.minX, box.maxY - box.minY) / 4);
    return {box.minX + d, box.minY + d, box.maxX - d, box.maxY - d};
}

// Twice the signed area of a closed ring of points first … last (last repeats first).
double TwiceRingArea(const std::vector<Vertex> &points, std::size_t first, std::size_t last) {
    double sum = 0;
    for (std::size_t i = first; i < last; ++i) {
        sum += (points[i].x - points[first].x) * (points[i + 1].y - points[first].y) -
               (points[i + 1].x - points[first].x) * (points[i].y - points[first].y);
    }
    return sum;
}

// True when the segment meets the open box (the box without its sides).
bool MeetsInterior(const Vertex &a, const Vertex &b, const Box &box) {
    Clip clip;
    clip.To(a, b, box, true);
    // Some t ∈ [0, 1] with lower < t < upper exists exactly when this holds.
    return !clip.empty && clip.lower < clip.upper && clip.lower < 1 && clip.upper > 0;
}

// A selected shape in the tiles' coordinate system, reduced to what the tests need: its
// vertices, the segments between them and, for long boundaries, an index of the segments.
class PreparedShape {
public:
    PreparedShape(ShapeDimension dimension, const OGRGeometry &geometry) : m_dimension(dimension) {
        Collect(geometry);
        if (m_points.empty() || (m_dimension == ShapeDimension::Polygon && !HasArea())) {
            // Nothing left, or a polygon without area, which has no part in two dimensions.
            m_dimension = ShapeDimension::None;
            return;
        }
        m_envelope = {m_points[0].x, m_points[0].y, m_points[0].x, m_points[0].y};
        for (const Vertex &v : m_points) {
            if (!std::isfinite(v.x) || !std::isfinite(v.y)) {
                throw GdalError("A selected shape has a vertex that does not fit the tiles' "
                                "coordinate system (beyond the projection's edge)");
            }
            m_envelope.Include({v.x, v.y, v.x, v.y});
        }
        if (m_segments.size() > kIndexedSegments) {
            std::vector<Box> boxes;
            boxes.reserve(m_segments.size());
            for (const std::uint32_t s : m_segments) {
                const Vertex &a = m_points[s];
                const Vertex &b = m_points[s + 1];
                boxes.push_back({std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x),
                                 std::max(a.y, b.y)});
            }
            m_segmentIndex = std::make_unique<EnvelopeIndex>(boxes);
        }
    }

    [[nodiscard]] bool IsUsable() const noexcept { return m_dimension != ShapeDimension::None; }
    [[nodiscard]] const Box &Envelope() const noexcept { return m_envelope; }

    // True when the intersection of the shape with the closed tile box, in the shape's
    // dimension, is not empty.
    [[nodiscard]] bool Meets(const Box &tile) const {
        switch (m_dimension) {
        case ShapeDimension::Point:
            return tile.Meets({m_points[0].x, m_points[0].y, m_points[0].x, m_points[0].y});
        case ShapeDimension::Line:
            return AnySegment(tile, [&](const Vertex &a, const Vertex &b) {
                return HasStretchInside(a, b, tile);
            });
        case ShapeDimension::Polygon:
            // A boundary entering the open tile (deeper than the tolerance) brings some of the
            // polygon's area with it; otherwise the tile lies inside or outside the polygon
            // but for a sliver, which its centre tells.
            if (const Box inner = Shrunk(tile);
                AnySegment(inner, [&](const Vertex &a, const Vertex &b) {
                    return MeetsInterior(a, b, inner);
                })) {
                return true;
            }
            return Contains((tile.minX + tile.maxX) / 2, (tile.minY + tile.maxY) / 2);
        case ShapeDimension::None:
            break;
        }
        return false;
    }

private:
    template <typename Test> bool AnySegment(const Box &query, Test &&test) const {
        if (m_segmentIndex) {
            return m_segmentIndex->Query(query, [&](std::size_t k) {
                const std::uint32_t s = m_segments[k];
                return test(m_points[s], m_points[s + 1]);
            });
        }
        for (const std::uint32_t s : m_segments) {
            if (test(m_points[s], m_points[s + 1])) {
                return true;
            }
        }
        return false;
    }

    // True when the exterior ring encloses more than a sliver. Polygons are prepared one part
    // at a time, so the first ring is the exterior.
    [[nodiscard]] bool HasArea() const {
        const std::size_t last = m_segments.empty() ? 0 : m_segments.back() + 1;
        std::size_t end = 1;
        while (end < last &&
               (m_points[end].x != m_points[0].x || m_points[end].y != m_points[0].y)) {
            ++end;
        }
        return std::abs(TwiceRingArea(m_points, 0, end)) / 2 > kTolerance * kTolerance;
    }

    // Even-odd rule over the rings of one polygon (its exterior and its holes): a ray from the
    // point towards +x crosses them an odd number of times exactly when the point is inside.
    // Only called for points off the boundary.
    [[nodiscard]] bool Contains(double x, double y) const {
        if (x < m_envelope.minX || x > m_envelope.maxX || y < m_envelope.minY ||
            y > m_envelope.maxY) {
            return false;
        }
        bool inside = false;
        AnySegment({x, y, m_envelope.maxX, y}, [&](const Vertex &a, const Vertex &b) {
            if ((a.y > y) != (b.y > y) && a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y) > x) {
                inside = !inside;
            }
            return false;
        });
        return inside;
    }

    void Collect(const OGRGeometry &geometry) {
        switch (wkbFlatten(geometry.getGeometryType())) {
        case wkbPoint: {
            const OGRPoint &point = *geometry.toPoint();
            if (!point.IsEmpty()) {
                m_points.push_back({point.getX(), point.getY()});
            }
            break;
        }
        case wkbLineString:
            AddPath(*geometry.toLineString(), false);
            break;
        case wkbPolygon:
            for (const OGRLinearRing *ring : *geometry.toPolygon()) {
                AddPath(*ring, true);
            }
            break;
        case wkbMultiLineString:
        case wkbMultiPolygon:
            for (const OGRGeometry *part : *geometry.toGeometryCollection()) {
                Collect(*part);
            }
            break;
        default:
            break;
        }
    }

    void AddPath(const OGRSimpleCurve &curve, bool closed) {
        const int n = curve.getNumPoints();
        if (n == 0) {
            return;
        }
        const auto first = static_cast<std::uint32_t>(m_points.size());
        for (int i = 0; i < n; ++i) {
            m_points.push_back({curve.getX(i), curve.getY(i)});
        }
        if (closed &&
            (m_points.back().x != m_points[first].x || m_points.back().y != m_points[first].y)) {
            m_points.push_back(m_points[first]);
        }
        const auto last = static_cast<std::uint32_t>(m_points.size() - 1);
        for (std::uint32_t s = first; s < last; ++s) {
            m_segments.push_back(s);
        }
    }

    ShapeDimension m_dimension;
    std::vector<Vertex> m_points;
    std::vector<std::uint32_t> m_segments; // each names its first vertex; the next one ends it
    Box m_envelope;
    std::unique_ptr<EnvelopeIndex> m_segmentIndex;
};

// Transformations into one target system, made once per coordinate system met: shapes of one
// layer share one spatial-reference object, and equal systems held by different objects are
// recognised before PROJ is asked for another transformation.
class Projector {
public:
    explicit Projector(const OGRSpatialReference &target) : m_target(target) {}

    // Returns the transformation from a shape's system, or null when the shape needs none
    // (no system, or the target's own).
    OGRCoordinateTransformation *For(const OGRSpatialReference *source) {
        if (source == nullptr) {
            return nullptr;
        }
        for (const auto &entry : m_entries) {
            if (entry.source == source) {
                return entry.transform.get();
            }
        }
        const auto same = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry &e) {
            return e.source->IsSame(source) != 0;
        });
        if (same != m_entries.end()) {
            OGRCoordinateTransformation *copy =
                same->transform ? same->transform->Clone() : nullptr;
            Remember(source, copy);
            return copy;
        }
        if (source->IsSame(&m_target) != 0) {
            Remember(source, nullptr);
            return nullptr;
        }
        GdalErrorCapture capture;
        std::unique_ptr<OGRCoordinateTransformation> transform(
            OGRCreateCoordinateTransformation(source, &m_target));
        if (!transform) {
            throw GdalError(WithReason(std::string("There is no transformation from ") +
                                           SystemName(source) + " to " + SystemName(&m_target),
                                       capture.Message()));
        }
        Remember(source, transform.release());
        return m_entries.back().transform.get();
    }

private:
    struct Entry {
        const OGRSpatialReference *source;
        std::unique_ptr<OGRCoordinateTransformation> transform;
    };

    void Remember(const OGRSpatialReference *source, OGRCoordinateTransformation *transform) {
        m_entries.push_back({source, std::unique_ptr<OGRCoordinateTransformation>(transform)});
    }

    const OGRSpatialReference &m_target;
    std::vector<Entry> m_entries;
};

std::string ShapeNumber(std::size_t index) {
    std::string text = "The selected shape ";
    AppendInt(text, static_cast<std::int64_t>(index) + 1);
    return text;
}

// The shape in the target system with curves replaced by line segments.
OGRGeometryUniquePtr ProjectShape(const OGRGeometry &shape, std::size_t index, Projector &projector,
                                  const OGRSpatialReference &target) {
    OGRGeometryUniquePtr copy(shape.clone());
    if (OGRCoordinateTransformation *transform = projector.For(shape.getSpatialReference())) {
        GdalErrorCapture capture;
        if (copy->transform(transform) != OGRERR_NONE) {
            throw GdalError(WithReason(ShapeNumber(index) + " cannot be projected into " +
                                           SystemName(&target),
                                       capture.Message()));
        }
    }
    if (copy->hasCurveGeometry() != 0) {
        copy.reset(copy->getLinearGeometry());
    }
    return copy;
}

// The selected shapes projected into the tiles' system, prepared and indexed by their
// envelopes, so that a tile is tested only against the shapes near it.
class PreparedSelection {
public:
    PreparedSelection(const Selection &selection, const OGRSpatialReference &target,
                      ProgressPass &pass)
        : m_shapes(Prepare(selection, target, pass)), m_index(Envelopes(m_shapes)) {}

    // True when at least one shape meets the closed tile box.
    [[nodiscard]] bool Meets(const Box &tile) const {
        return m_index.Query(tile, [&](std::size_t k) { return m_shapes[k].Meets(tile); });
    }

private:
    static std::vector<PreparedShape>
    Prepare(const Selection &selection, const OGRSpatialReference &target, ProgressPass &pass) {
        std::vector<PreparedShape> shapes;
        Projector projector(target);
        for (std::size_t i = 0; i < selection.size(); ++i) {
            const OGRGeometry *shape = selection[i].get();
            const ShapeDimension dimension =
                shape != nullptr ? DimensionOf(*shape) : ShapeDimension::None;
            if (dimension != ShapeDimension::None) {
                const OGRGeometryUniquePtr projected = ProjectShape(*shape, i, projector, target);
                const auto add = [&](const OGRGeometry &part) {
                    PreparedShape prepared(dimension, part);
                    if (prepared.IsUsable()) {
                        shapes.push_back(std::move(prepared));
                    }
                };
                // The parts of a multipolygon are areas each: where they overlap, the shape
                // covers the ground twice, it has no hole there. A tile meeting any part meets
                // the shape.
                if (wkbFlatten(projected->getGeometryType()) == wkbMultiPolygon) {
                    for (const OGRGeometry *part : *projected->toGeometryCollection()) {
                        add(*part);
                    }
                } else {
                    add(*projected);
                }
            }
            pass.Step(static_cast<std::int64_t>(i));
        }
        return shapes;
    }

    static std::vector<Box> Envelopes(const std::vector<PreparedShape> &shapes) {
        std::vector<Box> envelopes;
        envelopes.reserve(shapes.size());
        for (const PreparedShape &shape : shapes) {
            envelopes.push_back(shape.Envelope());
        }
        return envelopes;
    }

    std::vector<PreparedShape> m_shapes;
    EnvelopeIndex m_index;
};

} // namespace

ShapeDimension DimensionOf(const OGRGeometry &shape) noexcept {
    if (shape.IsEmpty() != 0) {
        return ShapeDimension::None;
    }
    switch (wkbFlatten(shape.getGeometryType())) {
    case wkbPoint:
        return ShapeDimension::Point;
    case wkbLineString:
    case wkbMultiLineString:
    case wkbCircularString:
    case wkbCompoundCurve:
    case wkbMultiCurve:
        return ShapeDimension::Line;
    case wkbPolygon:
    case wkbMultiPolygon:
    case wkbCurvePolygon:
    case wkbMultiSurface:
        return ShapeDimension::Polygon;
    default:
        return ShapeDimension::None;
    }
}

FilterResult FilterBySelection(const tiles::TileList &list, tiles::TilesType type, int level,
                               std::string_view /*sourceText*/, const Selection &selection,
                               UiPort &ui) {
    auto filtered = RunTrapped(ui, "FilterBySelection ", [&] {
        EnsureGdalRegistered();
        const auto code = CoordSystemCodeOf(type);
        if (!code) {
            std::string text = "The tile type ";
            AppendInt(text, static_cast<int>(type));
            throw ArgumentError(text + " has no coordinate system");
        }
        ProgressPass pass(ui, kFilterGeometryLabel, static_cast<std::int64_t>(selection.size()));
        const PreparedSelection shapes(selection, SetProjectedCoordSystem(*code), pass);

        pass.Restart(kFilterLabel, list.Size());
        FilterResult result;
        const double shift = BlockShiftY(type, level);
        auto cursor = list.Begin();
        tiles::TileRecord record;
        std::int64_t i = 0;
        while (cursor.Next(record)) {
            const BlockCorners c =
                MakeBlockCorners(record.x, record.y + shift, record.resX, record.resY);
            if (shapes.Meets({std::min(c.x0, c.x1), std::min(c.y0, c.y1), std::max(c.x0, c.x1),
                              std::max(c.y0, c.y1)})) {
                result.kept.push_back(record);
            }
            pass.Step(i++);
        }
        result.lastIndex = static_cast<std::int64_t>(result.kept.size()) - 1;
        return result;
    });
    return filtered ? std::move(*filtered) : FilterResult{};
}

Selection ReadSelection(const fs::path &source, const std::string &where) {
    EnsureGdalRegistered();
    GdalErrorCapture capture;
    GDALDatasetUniquePtr dataset(
        GDALDataset::Open(source.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
    if (!dataset) {
        throw GdalError(
            WithReason("The selection " + source.string() + " cannot be opened as vector data",
                       capture.Message()));
    }
    Selection selection;
    for (OGRLayer *layer : dataset->GetLayers()) {
        const std::string layerText =
            "layer " + std::string(layer->GetName()) + " of " + source.string();
        capture.Clear();
        if (!where.empty() && layer->SetAttributeFilter(where.c_str()) != OGRERR_NONE) {
            throw GdalError(
                WithReason("The filter \"" + where + "\" cannot be applied to " + layerText,
                           capture.Message()));
        }
        OGRSpatialReference *layerSrs = layer->GetSpatialRef();
        layer->ResetReading();
        while (OGRFeatureUniquePtr feature{layer->GetNextFeature()}) {
            // A feature without geometry is selected all the same: it counts, and meets no tile.
            OGRGeometryUniquePtr geometry(feature->StealGeometry());
            if (geometry && geometry->getSpatialReference() == nullptr && layerSrs != nullptr) {
                // The geometry takes a reference of its own; the layer's object is not changed.
                geometry->assignSpatialReference(layerSrs);
            }
            selection.push_back(std::move(geometry));
        }
        if (capture.HasFailure()) {
            throw GdalError(
                WithReason((where.empty() ? "The features of "
                                          : "The features matching \"" + where + "\" in ") +
                               layerText + " cannot be read",
                           capture.Message()));
        }
    }
    return selection;
}

std::optional<GeoExtent> SelectionExtent(const Selection &selection) {
    EnsureGdalRegistered();
    const OGRSpatialReference wgs84 = SetGeographicCoordSystem(kWgs84);
    Projector projector(wgs84);
    std::optional<GeoExtent> extent;
    for (std::size_t i = 0; i < selection.size(); ++i) {
        const OGRGeometry *shape = selection[i].get();
        if (shape == nullptr || shape->IsEmpty() != 0) {
            continue;
        }
        const OGRSpatialReference *srs = shape->getSpatialReference();
        if (srs == nullptr) {
            throw GdalError(ShapeNumber(i) +
                            " has no coordinate system, so its extent has no latitudes and "
                            "longitudes");
        }
        OGREnvelope envelope;
        shape->getEnvelope(&envelope);
        double west = envelope.MinX;
        double south = envelope.MinY;
        double east = envelope.MaxX;
        double north = envelope.MaxY;
        if (OGRCoordinateTransformation *transform = projector.For(srs)) {
            GdalErrorCapture capture;
            if (transform->TransformBounds(envelope.MinX, envelope.MinY, envelope.MaxX,
                                           envelope.MaxY, &west, &south, &east, &north, 21) == 0) {
                throw GdalError(WithReason(ShapeNumber(i) + "'s extent cannot be projected into " +
                                               SystemName(&wgs84),
                                           capture.Message()));
            }
        }
        if (west > east) {
            west = -180;
            east = 180;
        }
        if (!extent) {
            extent = GeoExtent{south, north, west, east};
        } else {
            extent->lat1 = std::min(extent->lat1, south);
            extent->lat2 = std::max(extent->lat2, north);
            extent->lon1 = std::min(extent->lon1, west);
            extent->lon2 = std::max(extent->lon2, east);
        }
    }
    return extent;
}

std::string ExtentText(const GeoExtent &extent) {
    std::string text;
    AppendDouble(text, extent.lat1);
    text += ',';
    AppendDouble(text, extent.lat2);
    text += ',';
    AppendDouble(text, extent.lon1);
    text += ',';
    AppendDouble(text, extent.lon2);
    return text;
}

} // namespace tessaro::mapout
