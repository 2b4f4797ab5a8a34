#include "host/core/back_off.h"

#include <gtest/gtest.h>

#include <vector>

// Ticks skipped before each try of a device that keeps failing: its waits of 2, 4, 8, 16, 16
// intervals; a good reply makes the next tick a try again.
TEST(BackOff, DoublesUpToSixteenIntervalsAndEndsOnAGoodReply) {
    host::BackOff back_off;
    std::vector<unsigned> skipped_before_try;
    unsigned skipped = 0;
    for (unsigned tick = 0; skipped_before_try.size() < 6; ++tick) {
        if (back_off.skip_tick()) {
            ++skipped;
            continue;
        }
        skipped_before_try.push_back(skipped);
        skipped = 0;
        back_off.failed();
    }
    EXPECT_EQ(skipped_before_try, (std::vector<unsigned>{0, 1, 3, 7, 15, 15}));

    back_off.succeeded();
    EXPECT_FALSE(back_off.skip_tick());
}
