#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaro::mapout::detail {

/// An axis-parallel rectangle, closed on every side.
struct Box {
    double minX = 0;
    double minY = 0;
    double maxX = 0;
    double maxY = 0;

    /// True when the two closed rectangles share at least one point (touching counts).
    [[nodiscard]] bool Meets(const Box &other) const noexcept {
        return minX <= other.maxX && other.minX <= maxX && minY <= other.maxY && other.minY <= maxY;
    }
    /// Grows the box to take in another.
    void Include(const Box &other) noexcept;
};

/// A static R-tree over rectangles, packed once by Sort-Tile-Recursive (leaves) and by
/// consecutive grouping (upper levels), in the manner of packed Hilbert R-trees: no node
/// is ever split or re-inserted, so building is one sort and queries touch few nodes.
///
/// Items are numbered 0 … n−1 in the order given to the constructor.
///
/// Complexity: building O(n log n); a query O(log n + k) for k items found, without any
/// allocation once its stack has grown. Memory: 40 bytes per item plus about 1/capacity as
/// much for the upper levels.
class EnvelopeIndex {
public:
    /// Builds the tree over boxes, which it copies.
    /// @pre nodeCapacity >= 2 and boxes.size() < 2^31
    explicit EnvelopeIndex(const std::vector<Box> &boxes, std::size_t nodeCapacity = 16);

    /// Number of items.
    [[nodiscard]] std::size_t Size() const noexcept { return m_itemCount; }

    /// Calls visit(item) for every item whose box meets the query box (Box::Meets), in no
    /// particular order, until visit returns true. Returns true when a visit returned true.
    template <typename Visit> bool Query(const Box &query, Visit &&visit) const {
        if (m_itemCount == 0) {
            return false;
        }
        m_stack.clear();
        m_stack.push_back({m_boxes.size() - 1, m_levelEnds.size() - 1});
        while (!m_stack.empty()) {
            const auto [first, level] = m_stack.back();
            m_stack.pop_back();
            const std::size_t end =
                first + m_capacity < m_levelEnds[level] ? first + m_capacity : m_levelEnds[level];
            for (std::size_t pos = first; pos < end; ++pos) {
                if (!m_boxes[pos].Meets(query)) {
                    continue;
                }
                if (level == 0) {
                    if (visit(static_cast<std::size_t>(m_refs[pos]))) {
                        return true;
                    }
                } else {
                    m_stack.push_back({m_refs[pos], level - 1});
                }
            }
        }
        return false;
    }

private:
    struct Pending {
        std::size_t first; // position of the first node to look at
        std::size_t level; // the level those nodes belong to
    };

    std::size_t m_itemCount = 0;
    std::size_t m_capacity;
    // Nodes of every level one after the other, leaves (the items) first; the root is last.
    std::vector<Box> m_boxes;
    // For a leaf the item number, for an upper node the position of its first child.
    std::vector<std::uint32_t> m_refs;
    // One past the last position of each level.
    std::vector<std::size_t> m_levelEnds;
    // Reused by Query so that queries do not allocate; a tree is therefore not safe to query
    // from several threads at once.
    mutable std::vector<Pending> m_stack;
};

} // namespace tessaro::mapout::detail
