#include <gtest/gtest.h>

#include "host/console.hpp"

TEST(Console, CountersStartAtZero) {
    NESUnit console(NESUnit::DEFAULT_CLOCK_SPEED);
    EXPECT_EQ(console.cycle_count(), 0);
    EXPECT_EQ(console.frame_count(), 0);
}
