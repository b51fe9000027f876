#include "common/count_down.h"

#include <gtest/gtest.h>

#include <vector>

using tessaro::CountDownClock;

// A pause of N seconds shows N − 1 at once and stays at 0; 0 means 30; a negative pause never
// ends by itself.
TEST(CountDown, CountsDownFromOneLessAndEndsAtZero) {
    CountDownClock clock(3);
    std::vector<int> shown;
    for (int i = 0; i < 4; ++i) {
        shown.push_back(clock.Left());
        clock.Tick();
    }
    EXPECT_EQ(shown, (std::vector<int>{2, 1, 0, 0}));
    EXPECT_TRUE(clock.Done());
    EXPECT_EQ(CountDownClock(0).Left(), 29);
    EXPECT_TRUE(CountDownClock(1).Done());
    CountDownClock negative(-5);
    for (int i = 0; i < 100; ++i) {
        negative.Tick();
    }
    EXPECT_TRUE(negative.Endless());
    EXPECT_FALSE(negative.Done());
}
