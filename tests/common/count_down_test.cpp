#include "common/count_down.h"

#include <gtest/gtest.h>

using tessaro::CountDownClock;

TEST(CountDown, ShowsOneLessAtOnceAndEndsAtZero) {
    CountDownClock clock(3);
    EXPECT_EQ(clock.Left(), 2);
    clock.Tick();
    EXPECT_EQ(clock.Left(), 1);
    EXPECT_FALSE(clock.Done());
    clock.Tick();
    EXPECT_TRUE(clock.Done());
    clock.Tick();
    EXPECT_EQ(clock.Left(), 0) << "stays at zero";
}

TEST(CountDown, ZeroMeansThirtyAndOneEndsAtOnce) {
    EXPECT_EQ(CountDownClock(0).Left(), 29);
    EXPECT_TRUE(CountDownClock(1).Done());
    CountDownClock negative(-5);
    EXPECT_TRUE(negative.Endless());
    for (int i = 0; i < 100; ++i) {
        negative.Tick();
    }
    EXPECT_FALSE(negative.Done());
}
