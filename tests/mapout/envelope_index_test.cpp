#include "mapout/envelope_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using tessaro::mapout::detail::Box;
using tessaro::mapout::detail::EnvelopeIndex;

// Every size around the node capacity and its powers, small and large boxes, points, boxes that
// only touch the query: the tree finds exactly the boxes a scan of all of them finds, each once.
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
            for (std::size_t q = 0; q < 50; ++q) {
                // Every other query starts on the east side of a box, touching it.
                const double x = n != 0 && q % 2 == 1 ? boxes[q % n].maxX : position(random);
                const double y = position(random);
                const Box query{x, y, x + size(random) * 3, y + size(random) * 3};
                std::vector<std::size_t> found, scanned;
                index.Query(query, [&](std::size_t item) {
                    found.push_back(item);
                    return false;
                });
                std::sort(found.begin(), found.end());
                for (std::size_t i = 0; i < n; ++i) {
                    if (boxes[i].Meets(query)) {
                        scanned.push_back(i);
                    }
                }
                EXPECT_EQ(found, scanned) << "n " << n << " capacity " << capacity;
            }
        }
    }
}
