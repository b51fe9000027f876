#pragma once

#include "tiles/tile_list.h"

#include <cstdint>
#include <functional>
#include <span>

namespace tessaro::tiles {

/// A tile list read once from first to last record, with its length known beforehand (for
/// the progress bar). It either walks a materialised list or pulls from a TileStream, so that
/// a run over millions of tiles never holds them all.
class TileSequence {
public:
    /// Writes the next record into its argument; returns false after the last.
    using Pull = std::function<bool(tiles::TileRecord &)>;

    /// A sequence of size records that pull yields in turn.
    /// @pre size >= 0 and pull yields exactly size records
    TileSequence(std::int64_t size, Pull pull);

    /// Walks list, which must outlive the sequence.
    [[nodiscard]] static TileSequence FromList(std::span<const tiles::TileRecord> list);

    /// Walks a run's list, which must outlive the sequence, without holding its records.
    [[nodiscard]] static TileSequence Of(const TileList &list);

    /// Pulls from stream, which must outlive the sequence; the stream starts again from its
    /// first record.
    [[nodiscard]] static TileSequence FromStream(tiles::TileStream &stream);

    /// Number of records in all.
    [[nodiscard]] std::int64_t Size() const noexcept { return m_size; }

    /// Writes the next record into out; returns false (leaving out alone) after the last.
    bool Next(tiles::TileRecord &out) { return m_pull(out); }

private:
    std::int64_t m_size;
    Pull m_pull;
};

} // namespace tessaro::tiles
