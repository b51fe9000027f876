#pragma once

#include "tiles/ellipsoidal_grid.h"
#include "tiles/spherical_grid.h"
#include "tiles/tiles_type.h"
#include "tiles/web_mercator_grid.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::tiles {

/// A block name held inline, so that records need no allocation. The longest name any grid
/// gives at level 22 is 22 characters.
class BlockName {
public:
    static constexpr std::size_t kCapacity = 27;

    BlockName() = default;
    explicit BlockName(std::string_view text) noexcept { Assign(text); }

    void Assign(std::string_view text) noexcept;
    [[nodiscard]] std::string_view View() const noexcept { return {m_chars.data(), m_size}; }
    [[nodiscard]] std::string Str() const { return std::string(View()); }
    char *Data() noexcept { return m_chars.data(); }
    void SetSize(std::size_t size) noexcept { m_size = static_cast<std::uint8_t>(size); }

    friend bool operator==(const BlockName &a, const BlockName &b) noexcept {
        return a.View() == b.View();
    }

private:
    std::array<char, kCapacity> m_chars{};
    std::uint8_t m_size = 0;
};

/// One tile of a request: the seven columns of the tile list.
///
/// Columns 2..5 are world-file values. On the spherical and web-mercator grids (x, y) is the
/// centre of the tile's upper-left pixel; on the ellipsoidal grid it is the tile's south-west
/// corner. For Yandex, col and row hold the Yandex x and y numbers; on the web-mercator grid
/// they are the XYZ x and y, and the name is "z/x/y".
struct TileRecord {
    std::int32_t col = 0; ///< column 0: tile column (x number)
    std::int32_t row = 0; ///< column 1: tile row (y number)
    double x = 0;         ///< column 2: projected x in metres
    double y = 0;         ///< column 3: projected y in metres
    double resX = 0;      ///< column 4: + pixel size
    double resY = 0;      ///< column 5: − pixel size
    BlockName name;       ///< column 6: block name

    friend bool operator==(const TileRecord &, const TileRecord &) = default;
};

/// A request: tile type, level and extent in decimal degrees.
struct TileRequest {
    TilesType type = TilesType::Invalid;
    int level = 0;
    double lat1 = 0; ///< south latitude
    double lat2 = 0; ///< north latitude
    double lon1 = 0; ///< west longitude
    double lon2 = 0; ///< east longitude
    /// The request takes part partIndex (from 0) of partCount disjoint parts of its list: the
    /// records from ⌊n·k/N⌋ to before ⌊n·(k+1)/N⌋ of the n in list order, so that the same
    /// request always splits the same way and the parts together are the whole list.
    std::int32_t partIndex = 0;
    std::int32_t partCount = 1;
};

/// The most parts a list is split into.
inline constexpr std::int32_t kMaxParts = 100000;

/// First and last column and row of a request, clamped to the grid. On the spherical grids
/// rows grow southward (rowFirst is the northern row); on the ellipsoidal grid northward
/// (rowFirst is the southern row).
struct TileRange {
    std::int32_t colFirst = 0;
    std::int32_t colLast = 0;
    std::int32_t rowFirst = 0;
    std::int32_t rowLast = 0;

    [[nodiscard]] std::int64_t Columns() const noexcept {
        return std::int64_t{colLast} - colFirst + 1;
    }
    [[nodiscard]] std::int64_t Rows() const noexcept {
        return std::int64_t{rowLast} - rowFirst + 1;
    }
};

/// Checks a level and an extent: a level from 1 to 22 (0 to 22 on the web-mercator grid), finite
/// coordinates, latitudes within ±90 and longitudes within ±180, south not north of north and west
/// not east of east.
/// @throws tessaro::ArgumentError naming the first fault.
void ValidateLevelAndExtent(const TileRequest &request);

/// Checks a part: 1 ≤ partCount ≤ kMaxParts and 0 ≤ partIndex < partCount.
/// @throws tessaro::ArgumentError naming the fault.
void ValidatePart(const TileRequest &request);

/// Returns what the files of one part of a split run carry in their names: "_part<K>of<N>"
/// (K from 1), or the empty text for a run that is not split.
[[nodiscard]] std::string PartSuffix(const TileRequest &request);

/// Checks only that the extent's coordinates are finite and lie within the world's limits.
/// @throws tessaro::ArgumentError naming the first fault.
void ValidateExtentLimits(const TileRequest &request);

/// Checks a request: a known type, then ValidateLevelAndExtent.
/// @throws tessaro::ArgumentError naming the first fault.
void ValidateRequest(const TileRequest &request);

/// Returns the tile range of a request. Requests reaching beyond the grid (latitudes past its
/// edge, a longitude of 180°) are clamped to the grid's edge tiles.
/// @pre the request passed ValidateRequest, or at least has a valid type and level.
[[nodiscard]] TileRange RangeOf(const TileRequest &request);

/// Generates the tile list of a request record by record, in list order: row-major from the
/// north-west corner on the spherical and web-mercator grids, column-major from the south-west
/// corner on the ellipsoidal grid.
///
/// Complexity: constant memory, O(level) per record (the block name).
class TileStream {
public:
    /// @throws tessaro::ArgumentError for a request ValidateRequest refuses.
    explicit TileStream(const TileRequest &request);

    /// Number of records the stream yields in all (those of its part).
    [[nodiscard]] std::int64_t Size() const noexcept { return m_end - m_first; }
    /// The clamped range the records of the whole list cover.
    [[nodiscard]] const TileRange &Range() const noexcept { return m_range; }
    /// The request as given.
    [[nodiscard]] const TileRequest &Request() const noexcept { return m_request; }

    /// Writes the next record into out; returns false (leaving out alone) after the last.
    bool Next(TileRecord &out);

    /// Starts again from the first record.
    void Reset() noexcept;

private:
    void FillSpherical(std::int32_t col, std::int32_t row, TileRecord &out) const noexcept;
    void FillEllipsoidal(std::int32_t col, std::int32_t row, TileRecord &out) const noexcept;
    void FillWebMercator(std::int32_t col, std::int32_t row, TileRecord &out) const noexcept;

    TileRequest m_request;
    GridFamily m_family;
    SphericalGrid m_sphere;
    EllipsoidalGrid m_ellipse;
    WebMercatorGrid m_mercator;
    std::string_view m_prefix;
    TileRange m_range;
    std::int32_t m_outer = 0; // row (spherical) or column (ellipsoidal)
    std::int32_t m_inner = 0;
    std::int64_t m_first = 0; // list positions of the part: from m_first to before m_end
    std::int64_t m_end = 0;
    std::int64_t m_pos = 0;
    bool m_done = false;
};

/// The tile list of a run: either generated from its request whenever it is walked (constant
/// memory, for any number of tiles) or a kept subset of it (after the selection filter). It can
/// be walked any number of times, always in list order.
class TileList {
public:
    /// The full list of a request. @throws tessaro::ArgumentError for a bad request.
    explicit TileList(const TileRequest &request);
    /// A subset of a request's list, in the order given.
    TileList(const TileRequest &request, std::vector<TileRecord> kept);

    /// Walks the list from its first record.
    class Cursor {
    public:
        /// Writes the next record into out; false after the last.
        bool Next(TileRecord &out);

    private:
        friend class TileList;
        explicit Cursor(const TileList &list);
        const TileList *m_list;
        std::optional<TileStream> m_stream;
        std::size_t m_index = 0;
    };

    [[nodiscard]] Cursor Begin() const { return Cursor(*this); }
    /// Calls f(record) for every record in list order.
    template <typename F> void ForEach(F &&f) const {
        auto cursor = Begin();
        TileRecord record;
        while (cursor.Next(record)) {
            f(record);
        }
    }
    [[nodiscard]] std::int64_t Size() const noexcept { return m_size; }
    [[nodiscard]] const TileRequest &Request() const noexcept { return m_request; }
    [[nodiscard]] bool IsSubset() const noexcept { return m_kept.has_value(); }

private:
    TileRequest m_request;
    std::optional<std::vector<TileRecord>> m_kept;
    std::int64_t m_size = 0;
};

/// Returns the whole tile list of a request, identical record for record to TileStream.
/// Memory: sizeof(TileRecord) (72 bytes) per record.
/// @throws tessaro::ArgumentError for a request ValidateRequest refuses.
[[nodiscard]] std::vector<TileRecord> BuildTileList(const TileRequest &request);

/// The list of a Google request (satellite, map or landscape).
[[nodiscard]] std::vector<TileRecord> GoogleList(const TileRequest &request);
/// The list of a shaded-relief request: the Google grid one level finer, names with the level.
[[nodiscard]] std::vector<TileRecord> ShadeList(const TileRequest &request);
/// The list of a ScanEx or Yandex request.
[[nodiscard]] std::vector<TileRecord> ScanexList(const TileRequest &request);

/// Appends the seven columns of a record joined by ";" (no line end): integers in plain
/// decimal, doubles with up to 15 significant digits and a decimal point.
void AppendRecordText(std::string &out, const TileRecord &record);

} // namespace tessaro::tiles
