#include "mapout/envelope_index.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numeric>

namespace tessaro::mapout::detail {

void Box::Include(const Box &other) noexcept {
    minX = std::min(minX, other.minX);
    minY = std::min(minY, other.minY);
    maxX = std::max(maxX, other.maxX);
    maxY = std::max(maxY, other.maxY);
}

EnvelopeIndex::EnvelopeIndex(const std::vector<Box> &boxes, std::size_t nodeCapacity)
    : m_itemCount(boxes.size()), m_capacity(nodeCapacity) {
    assert(nodeCapacity >= 2);
    assert(boxes.size() < (std::size_t{1} << 31));
    const std::size_t n = boxes.size();
    if (n == 0) {
        return;
    }

    // Sort-Tile-Recursive: items sorted by the x of their centres are cut into vertical
    // slices of about √(leaves) leaves each, and every slice is sorted by y, so that
    // consecutive runs of `capacity` items form compact leaves.
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    const auto centreX = [&](std::uint32_t i) { return boxes[i].minX + boxes[i].maxX; };
    const auto centreY = [&](std::uint32_t i) { return boxes[i].minY + boxes[i].maxY; };
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return centreX(a) < centreX(b); });
    const std::size_t leaves = (n + m_capacity - 1) / m_capacity;
    const auto slices = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(leaves))));
    const std::size_t sliceItems = slices * m_capacity;
    for (std::size_t start = 0; start < n; start += sliceItems) {
        const auto first = order.begin() + static_cast<std::ptrdiff_t>(start);
        const auto last =
            order.begin() + static_cast<std::ptrdiff_t>(std::min(n, start + sliceItems));
        std::sort(first, last,
                  [&](std::uint32_t a, std::uint32_t b) { return centreY(a) < centreY(b); });
    }

    m_boxes.reserve(n + n / (m_capacity - 1) + 1);
    m_refs.reserve(m_boxes.capacity());
    for (const std::uint32_t i : order) {
        m_boxes.push_back(boxes[i]);
        m_refs.push_back(i);
    }
    m_levelEnds.push_back(n);

    // Upper levels: each node covers `capacity` consecutive nodes of the level below.
    std::size_t levelStart = 0;
    std::size_t levelEnd = n;
    while (levelEnd - levelStart > 1) {
        for (std::size_t pos = levelStart; pos < levelEnd; pos += m_capacity) {
            Box box = m_boxes[pos];
            const std::size_t end = std::min(pos + m_capacity, levelEnd);
            for (std::size_t child = pos + 1; child < end; ++child) {
                box.Include(m_boxes[child]);
            }
            m_boxes.push_back(box);
            m_refs.push_back(static_cast<std::uint32_t>(pos));
        }
        levelStart = levelEnd;
        levelEnd = m_boxes.size();
        m_levelEnds.push_back(levelEnd);
    }
}

} // namespace tessaro::mapout::detail
