#include "tiles/tile_list.h"

#include "common/error.h"
#include "common/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace tessaro::tiles {

namespace {

std::string DegreesText(double value) {
    return FormatDouble(value);
}

char *WriteInt(char *p, std::int64_t v) noexcept {
    return std::to_chars(p, p + 24, v).ptr;
}

} // namespace

void BlockName::Assign(std::string_view text) noexcept {
    const auto n = std::min(text.size(), kCapacity);
    std::copy_n(text.data(), n, m_chars.data());
    m_size = static_cast<std::uint8_t>(n);
}

void ValidateRequest(const TileRequest &r) {
    if (r.type == TilesType::Invalid) {
        throw ArgumentError("The source and kind give no supported tile type.");
    }
    ValidateLevelAndExtent(r);
    ValidatePart(r);
}

std::string PartSuffix(const TileRequest &r) {
    if (r.partCount <= 1) {
        return {};
    }
    return "_part" + std::to_string(r.partIndex + 1) + "of" + std::to_string(r.partCount);
}

void ValidatePart(const TileRequest &r) {
    if (r.partCount < 1 || r.partCount > kMaxParts || r.partIndex < 0 ||
        r.partIndex >= r.partCount) {
        throw ArgumentError("A part must be K/N with 1 <= K <= N <= " + std::to_string(kMaxParts) +
                            ", not " + std::to_string(r.partIndex + 1) + "/" +
                            std::to_string(r.partCount) + ".");
    }
}

void ValidateLevelAndExtent(const TileRequest &r) {
    const int minLevel = MinLevel(r.type);
    if (r.level < minLevel || r.level > kMaxLevel) {
        throw ArgumentError("The level must be a whole number from " + std::to_string(minLevel) +
                            " to 22, not " + std::to_string(r.level) + ".");
    }
    ValidateExtentLimits(r);
    if (r.lat1 > r.lat2) {
        throw ArgumentError("The extent is inverted: LAT1 " + DegreesText(r.lat1) +
                            " lies north of LAT2 " + DegreesText(r.lat2) + ".");
    }
    if (r.lon1 > r.lon2) {
        throw ArgumentError("The extent is inverted: LON1 " + DegreesText(r.lon1) +
                            " lies east of LON2 " + DegreesText(r.lon2) + ".");
    }
}

void ValidateExtentLimits(const TileRequest &r) {
    const double coords[] = {r.lat1, r.lat2, r.lon1, r.lon2};
    for (double c : coords) {
        if (!std::isfinite(c)) {
            throw ArgumentError("The extent holds a coordinate that is not a finite number.");
        }
    }
    if (r.lat1 < -90.0 || r.lat1 > 90.0 || r.lat2 < -90.0 || r.lat2 > 90.0) {
        throw ArgumentError("Latitudes must lie between -90 and 90 degrees (got " +
                            DegreesText(r.lat1) + " and " + DegreesText(r.lat2) + ").");
    }
    if (r.lon1 < -180.0 || r.lon1 > 180.0 || r.lon2 < -180.0 || r.lon2 > 180.0) {
        throw ArgumentError("Longitudes must lie between -180 and 180 degrees (got " +
                            DegreesText(r.lon1) + " and " + DegreesText(r.lon2) + ").");
    }
}

TileRange RangeOf(const TileRequest &r) {
    // Columns run west to east on every grid; rows from the north on the grids counted from the
    // top, from the south on the ellipsoidal grid.
    const auto on = [&r](const auto &grid, bool rowsFromNorth) {
        TileRange range;
        range.colFirst = grid.ClampedCol(r.lon1);
        range.colLast = grid.ClampedCol(r.lon2);
        range.rowFirst = grid.ClampedRow(rowsFromNorth ? r.lat2 : r.lat1);
        range.rowLast = grid.ClampedRow(rowsFromNorth ? r.lat1 : r.lat2);
        return range;
    };
    switch (GridOf(r.type)) {
    case GridFamily::Google:
        return on(SphericalGrid::Google(r.level), true);
    case GridFamily::Shade:
        return on(SphericalGrid::Shade(r.level), true);
    case GridFamily::Ellipsoidal:
        return on(EllipsoidalGrid::ForLevel(r.level), false);
    case GridFamily::WebMercator:
        return on(WebMercatorGrid::ForZoom(r.level), true);
    }
    return {};
}

TileStream::TileStream(const TileRequest &request) : m_request(request), m_family() {
    ValidateRequest(request);
    m_family = GridOf(request.type);
    if (m_family == GridFamily::Ellipsoidal) {
        m_ellipse = EllipsoidalGrid::ForLevel(request.level);
        m_prefix = BlockNamePrefix(static_cast<int>(request.type));
    } else if (m_family == GridFamily::WebMercator) {
        m_mercator = WebMercatorGrid::ForZoom(request.level);
    } else {
        m_sphere = m_family == GridFamily::Google ? SphericalGrid::Google(request.level)
                                                  : SphericalGrid::Shade(request.level);
    }
    m_range = RangeOf(request);
    const std::int64_t total = std::max<std::int64_t>(0, m_range.Columns() * m_range.Rows());
    m_first = total * request.partIndex / request.partCount;
    m_end = total * (request.partIndex + 1) / request.partCount;
    Reset();
}

void TileStream::Reset() noexcept {
    m_pos = m_first;
    m_done = m_pos >= m_end;
    if (m_done) {
        return;
    }
    // The part's first record: its place in the row-major (column-major) walk of the range.
    if (m_family == GridFamily::Ellipsoidal) {
        m_outer = static_cast<std::int32_t>(m_range.colFirst + m_first / m_range.Rows());
        m_inner = static_cast<std::int32_t>(m_range.rowFirst + m_first % m_range.Rows());
    } else {
        m_outer = static_cast<std::int32_t>(m_range.rowFirst + m_first / m_range.Columns());
        m_inner = static_cast<std::int32_t>(m_range.colFirst + m_first % m_range.Columns());
    }
}

bool TileStream::Next(TileRecord &out) {
    if (m_done) {
        return false;
    }
    if (++m_pos >= m_end) {
        m_done = true; // the part ends here; the walk below only moves on
    }
    if (m_family == GridFamily::Ellipsoidal) {
        FillEllipsoidal(m_outer, m_inner, out);
        if (m_inner < m_range.rowLast) {
            ++m_inner;
        } else if (m_outer < m_range.colLast) {
            ++m_outer;
            m_inner = m_range.rowFirst;
        } else {
            m_done = true;
        }
    } else {
        if (m_family == GridFamily::WebMercator) {
            FillWebMercator(m_inner, m_outer, out);
        } else {
            FillSpherical(m_inner, m_outer, out);
        }
        if (m_inner < m_range.colLast) {
            ++m_inner;
        } else if (m_outer < m_range.rowLast) {
            ++m_outer;
            m_inner = m_range.colFirst;
        } else {
            m_done = true;
        }
    }
    return true;
}

void TileStream::FillSpherical(std::int32_t col, std::int32_t row, TileRecord &out) const noexcept {
    const double pixel = m_sphere.pixelSize;
    out.col = col;
    out.row = row;
    out.x = m_sphere.ColToX(col) + pixel / 2.0;
    out.y = m_sphere.RowToY(row) - pixel / 2.0;
    out.resX = pixel;
    out.resY = -pixel;
    out.name.SetSize(QuadKeyInto(col, row, m_sphere.level, out.name.Data()));
}

void TileStream::FillWebMercator(std::int32_t col, std::int32_t row,
                                 TileRecord &out) const noexcept {
    const double pixel = m_mercator.pixelSize;
    out.col = col;
    out.row = row;
    out.x = m_mercator.ColToX(col) + pixel / 2.0;
    out.y = m_mercator.RowToY(row) - pixel / 2.0;
    out.resX = pixel;
    out.resY = -pixel;
    char *p = out.name.Data();
    char *start = p;
    p = WriteInt(p, m_mercator.zoom);
    *p++ = '/';
    p = WriteInt(p, col);
    *p++ = '/';
    p = WriteInt(p, row);
    out.name.SetSize(static_cast<std::size_t>(p - start));
}

void TileStream::FillEllipsoidal(std::int32_t col, std::int32_t row,
                                 TileRecord &out) const noexcept {
    const int level = m_ellipse.level;
    std::int64_t nx = col;
    std::int64_t ny = row;
    if (IsYandex(m_request.type)) {
        nx = YandexX(col, level);
        ny = YandexY(row, level);
    }
    out.col = static_cast<std::int32_t>(nx);
    out.row = static_cast<std::int32_t>(ny);
    out.x = col * m_ellipse.tileSize;
    out.y = row * m_ellipse.tileSize;
    out.resX = m_ellipse.pixelSize;
    out.resY = -m_ellipse.pixelSize;
    char *p = out.name.Data();
    char *start = p;
    p = std::copy(m_prefix.begin(), m_prefix.end(), p);
    p = WriteInt(p, level);
    *p++ = '_';
    p = WriteInt(p, nx);
    *p++ = '_';
    p = WriteInt(p, ny);
    out.name.SetSize(static_cast<std::size_t>(p - start));
}

TileList::TileList(const TileRequest &request)
    : m_request(request), m_size(TileStream(request).Size()) {}

TileList::TileList(const TileRequest &request, std::vector<TileRecord> kept)
    : m_request(request), m_kept(std::move(kept)),
      m_size(static_cast<std::int64_t>(m_kept->size())) {}

TileList::Cursor::Cursor(const TileList &list) : m_list(&list) {
    if (!list.m_kept) {
        m_stream.emplace(list.m_request);
    }
}

bool TileList::Cursor::Next(TileRecord &out) {
    if (m_stream) {
        return m_stream->Next(out);
    }
    const auto &kept = *m_list->m_kept;
    if (m_index >= kept.size()) {
        return false;
    }
    out = kept[m_index++];
    return true;
}

std::vector<TileRecord> BuildTileList(const TileRequest &request) {
    TileStream stream(request);
    std::vector<TileRecord> list;
    list.reserve(static_cast<std::size_t>(stream.Size()));
    TileRecord record;
    while (stream.Next(record)) {
        list.push_back(record);
    }
    return list;
}

namespace {

std::vector<TileRecord> ListOfFamily(const TileRequest &request, GridFamily family,
                                     const char *what) {
    if (request.type != TilesType::Invalid && GridOf(request.type) != family) {
        throw ArgumentError(std::string("The request's tile type is not served by ") + what + ".");
    }
    return BuildTileList(request);
}

} // namespace

std::vector<TileRecord> GoogleList(const TileRequest &request) {
    return ListOfFamily(request, GridFamily::Google, "the Google grid");
}

std::vector<TileRecord> ShadeList(const TileRequest &request) {
    return ListOfFamily(request, GridFamily::Shade, "the shaded-relief grid");
}

std::vector<TileRecord> ScanexList(const TileRequest &request) {
    return ListOfFamily(request, GridFamily::Ellipsoidal, "the ellipsoidal grid");
}

void AppendRecordText(std::string &out, const TileRecord &r) {
    AppendInt(out, r.col);
    out += ';';
    AppendInt(out, r.row);
    out += ';';
    AppendDouble(out, r.x);
    out += ';';
    AppendDouble(out, r.y);
    out += ';';
    AppendDouble(out, r.resX);
    out += ';';
    AppendDouble(out, r.resY);
    out += ';';
    out += r.name.View();
}

} // namespace tessaro::tiles
