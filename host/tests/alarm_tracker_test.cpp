#include "host/common/catalogue.h"
#include "host/core/alarm_tracker.h"
#include "host/core/module_alarms.h"

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

// A module's alarm follows its fault byte, and clears when the module is no longer reported.
TEST(ModuleAlarms, FollowTheFaultByteAndTheModulesReported) {
    host::ModuleAlarms alarms;
    host::DecodedBlock block;
    block.modules.resize(3);
    const auto told = [&] {
        std::string out;
        for (const host::AlarmRecord &a : alarms.update(7, block, "t"))
            out += (a.raised ? "+" : "-") + a.signal_id + " " + a.text + " [" + a.detail + "] ";
        return out;
    };
    EXPECT_EQ(told(), ""); // no fault at first: nothing
    block.modules[1].fault = 3;
    EXPECT_EQ(told(), "+host.module2.fault Rectifier module 2 fault [fault:3] ");
    EXPECT_EQ(told(), "");
    block.modules[2].fault = 1;
    block.modules[1].fault = 0;
    EXPECT_EQ(told(), "-host.module2.fault Rectifier module 2 fault [fault:0] "
                      "+host.module3.fault Rectifier module 3 fault [fault:1] ");
    block.modules.resize(2);
    EXPECT_EQ(told(),
              "-host.module3.fault Rectifier module 3 fault [not reported (2 modules now)] ");
    block.modules.resize(3);
    block.modules[2].fault = 1;
    EXPECT_EQ(told(), "+host.module3.fault Rectifier module 3 fault [fault:1] ");
}

TEST(ModuleAlarms, IdentifiersAreTheHostsOwn) {
    namespace c = host::catalogue;
    EXPECT_EQ(c::module_of_alarm(c::module_fault_id(12)), 12u);
    EXPECT_EQ(c::alarm_name("host.module2.fault"), "Rectifier module 2 fault");
    for (const char *other : {"host.module0.fault", "host.module02.fault", "host.module.fault",
                              "host.module2x.fault", "host.module2.faults", "220600140010"})
        EXPECT_EQ(c::module_of_alarm(other), 0u) << other;
    EXPECT_EQ(c::alarm_name("220600140010"), "AC input power failure");
}

} // namespace
