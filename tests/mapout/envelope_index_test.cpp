#include "mapout/envelope_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using tessaro::mapout::detail::Box;
using tessaro::mapout::detail::EnvelopeIndex;

namespace {

std::vector<std::size_t> Found(const EnvelopeIndex &index, const Box &query) {
    std::vector<std::size_t> found;
    index.Query(query, [&](std::size_t item) {
        found.push_back(item);
        return false;
    });
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::size_t> BruteForce(const std::vector<Box> &boxes, const Box &query) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        if (boxes[i].Meets(query)) {
            found.push_back(i);
        }
    }
    return found;
}

} // namespace

// Every size around the node capacity and its powers, small and large boxes, points: the
// tree finds exactly the boxes a scan of all of them finds, each once.
TEST(EnvelopeIndex, FindsWhatAFullScanFinds) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> position(-1000, 1000);
    std::uniform_real_distribution<double> size(0, 60);
    for (const std::size_t n : {0, 1, 2, 15, 16, 17, 255, 256, 257, 4097}) {
        for (const std::size_t capacity : {2, 4, 16}) {
            std::vector<Box> boxes;
            for (std::size_t i = 0; i < n; ++i) {
                const double x = position(random);
                const double y = position(random);
                // Every fifth box is a point, as selected points are.
                const double w = i % 5 == 0 ? 0 : size(random);
                const double h = i % 5 == 0 ? 0 : size(random);
                boxes.push_back({x, y, x + w, y + h});
            }
            const EnvelopeIndex index(boxes, capacity);
            ASSERT_EQ(index.Size(), n);
            for (int q = 0; q < 50; ++q) {
                const double x = position(random);
                const double y = position(random);
                const Box query{x, y, x + size(random) * 3, y + size(random) * 3};
                EXPECT_EQ(Found(index, query), BruteForce(boxes, query))
                    << "n " << n << " capacity " << capacity;
            }
        }
    }
}

// Boxes that only touch the query at a side or a corner are found; the query stops at the
// first item the visitor accepts.
TEST(EnvelopeIndex, TouchingCountsAndVisitorStops) {
    const std::vector<Box> boxes = {
        {0, 0, 10, 10},   // shares the side x = 10 with the query
        {10, 10, 20, 20}, // shares the corner (10, 10)
        {20.5, 0, 30, 5}, // apart
        {11, 1, 12, 2},   // inside
    };
    const EnvelopeIndex index(boxes, 2);
    EXPECT_EQ(Found(index, {10, -5, 15, 10}), (std::vector<std::size_t>{0, 1, 3}));
    EXPECT_TRUE(Found(index, {40, 40, 50, 50}).empty());

    int visits = 0;
    EXPECT_TRUE(index.Query({-100, -100, 100, 100}, [&](std::size_t) { return ++visits == 2; }));
    EXPECT_EQ(visits, 2);
    EXPECT_FALSE(index.Query({-100, -100, 100, 100}, [](std::size_t) { return false; }));
}
