// When a device's state goes to the broker: on a change beyond a deadband, held to the state
// last published; on any change of a state byte; on an alarm; at least once a heartbeat.
#include "host/mqtt/state_throttle.h"

#include <gtest/gtest.h>

namespace {

using host::DecodedBlock;
using host::StateThrottle;

constexpr double kHeartbeat = 300.0;

// A plant at rest, its readings in whole units as the driver reports them: one module, one
// mains input, two battery groups.
DecodedBlock plant() {
    DecodedBlock b;
    b.rc.out_v = 53.0f;
    b.modules.resize(1);
    b.modules[0].out_i = 15.0f;
    b.inputs.resize(1);
    b.inputs[0].ua = b.inputs[0].ub = b.inputs[0].uc = 230.0f;
    b.inputs[0].f = 50.0f;
    b.dc.voltage = 53.0f;
    b.dc.load_current = 41.0f;
    b.dc.m_count = 2;
    b.dc.m_values[0] = b.dc.m_values[1] = 2.0f;
    b.param47_a = 5350;
    return b;
}

// A reading held to the last published state: a step at a time stays back, the drift the steps
// add up to goes out; a reading of another kind has its own deadband.
TEST(StateThrottle, AReadingGoesOutOnceItMovesBeyondItsDeadband) {
    StateThrottle throttle(kHeartbeat);
    DecodedBlock b = plant();
    ASSERT_TRUE(throttle.offer(b, 0.0)); // the first state always
    const auto bus_at = [&](float volts) {
        b.dc.voltage = volts;
        return throttle.offer(b, 1.0);
    };
    EXPECT_FALSE(bus_at(54.0f)); // one step: 1 V allowed
    EXPECT_FALSE(bus_at(54.0f));
    EXPECT_TRUE(bus_at(55.0f));
    EXPECT_FALSE(bus_at(54.0f)); // held to 55 now

    b.inputs[0].ub = 227.0f; // 3 V of 230 V mains: noise
    EXPECT_FALSE(throttle.offer(b, 2.0));
    b.inputs[0].f = 48.0f;
    EXPECT_TRUE(throttle.offer(b, 3.0));
    b.dc.m_values[1] = 0.0f; // a battery group from charging to idle
    EXPECT_TRUE(throttle.offer(b, 4.0));
}

// A byte that is no reading goes out on any change; the records' times on none.
TEST(StateThrottle, AnyChangeOfAStateByteGoesOutAndTheTimesNever) {
    StateThrottle throttle(kHeartbeat);
    DecodedBlock b = plant();
    ASSERT_TRUE(throttle.offer(b, 0.0));
    b.dc.time[5] = 17;
    b.rc.time[6] = 42;
    EXPECT_FALSE(throttle.offer(b, 1.0));
    b.dc.alert_m[0] = 2; // a battery fuse
    EXPECT_TRUE(throttle.offer(b, 2.0));
    b.modules[0].on_off = 1;
    EXPECT_TRUE(throttle.offer(b, 3.0));
    b.param47_a = 5351; // the float voltage set 10 mV higher
    EXPECT_TRUE(throttle.offer(b, 4.0));
    b.modules.push_back(b.modules[0]);
    EXPECT_TRUE(throttle.offer(b, 5.0));
}

TEST(StateThrottle, AnAlarmGoesOutAtOnceAndTheHeartbeatWhenNothingMoves) {
    StateThrottle throttle(kHeartbeat);
    const DecodedBlock b = plant();
    ASSERT_TRUE(throttle.offer(b, 0.0));
    EXPECT_FALSE(throttle.offer(b, 10.0));
    throttle.force();
    EXPECT_TRUE(throttle.offer(b, 11.0));
    EXPECT_FALSE(throttle.offer(b, 12.0));
    // The heartbeat counts from the last state that went out, the forced one.
    EXPECT_FALSE(throttle.offer(b, 11.0 + kHeartbeat - 1.0));
    EXPECT_TRUE(throttle.offer(b, 11.0 + kHeartbeat));
    // A state published at a connection restarts it.
    throttle.published(b, 400.0);
    EXPECT_FALSE(throttle.offer(b, 311.0 + kHeartbeat));

    StateThrottle every_round(0.0);
    EXPECT_TRUE(every_round.offer(b, 0.0));
    EXPECT_TRUE(every_round.offer(b, 0.0));
}

} // namespace
