#include "host/core/alarm_tracker.h"

#include <gtest/gtest.h>

namespace {

TEST(AlarmTracker, ReportsEachTransitionOnce) {
    host::AlarmTracker t;
    EXPECT_EQ(t.report(1, "A", false), std::nullopt); // first report, inactive: nothing
    EXPECT_EQ(t.report(1, "A", false), std::nullopt);
    EXPECT_EQ(t.report(1, "A", true), true);
    EXPECT_EQ(t.report(1, "A", true), std::nullopt);
    EXPECT_EQ(t.report(1, "A", false), false);
    EXPECT_EQ(t.report(1, "A", false), std::nullopt);
    // Devices and alarms are tracked apart.
    EXPECT_EQ(t.report(2, "A", true), true); // first report, active: raised
    EXPECT_EQ(t.report(1, "B", true), true);
    EXPECT_EQ(t.report(1, "A", true), true);
}

} // namespace
