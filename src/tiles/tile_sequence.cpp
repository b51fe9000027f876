#include "tiles/tile_sequence.h"

#include <cassert>
#include <memory>
#include <utility>

namespace tessaro::tiles {

TileSequence::TileSequence(std::int64_t size, Pull pull) : m_size(size), m_pull(std::move(pull)) {
    assert(size >= 0);
}

TileSequence TileSequence::FromList(std::span<const tiles::TileRecord> list) {
    return TileSequence(static_cast<std::int64_t>(list.size()),
                        [list, i = std::size_t{0}](tiles::TileRecord &out) mutable {
                            if (i >= list.size()) {
                                return false;
                            }
                            out = list[i++];
                            return true;
                        });
}

TileSequence TileSequence::Of(const TileList &list) {
    auto cursor = std::make_shared<TileList::Cursor>(list.Begin());
    return {list.Size(), [cursor](TileRecord &r) { return cursor->Next(r); }};
}

TileSequence TileSequence::FromStream(tiles::TileStream &stream) {
    stream.Reset();
    return TileSequence(stream.Size(),
                        [&stream](tiles::TileRecord &out) { return stream.Next(out); });
}

} // namespace tessaro::tiles
