// Data flag bytes: bit 4 announces a status change until the status reply has been read,
// bit 0 an alarm change until the alarm reply has been read; the DC alarm reply answers both.
#include "sim/tests/sim_test_util.h"

using namespace simtest;
using sim::Simulator;

namespace {

uint8_t analogue_flag(Simulator &s, uint8_t cid1) {
    return ask(s, cid1, 0x42, cid1 == kRc ? std::vector<uint8_t>{} : kAll).info.at(0);
}

} // namespace

TEST(Flags, RectifierStatusAndAlarmBitsClearSeparately) {
    Simulator s(frozen());
    EXPECT_EQ(analogue_flag(s, kRc), 0);

    ask(s, kRc, 0x45, {0x2F, 1}); // module 1 off
    EXPECT_EQ(analogue_flag(s, kRc), Simulator::kStatusChanged);
    EXPECT_EQ(analogue_flag(s, kRc), Simulator::kStatusChanged); // reading values clears nothing

    s.apply(sim::parse_event_text("1:module_fault:module=2"));
    EXPECT_EQ(analogue_flag(s, kRc), Simulator::kStatusChanged | Simulator::kAlarmChanged);
    EXPECT_EQ(ask(s, kRc, 0x43).info[0], Simulator::kStatusChanged | Simulator::kAlarmChanged);
    EXPECT_EQ(analogue_flag(s, kRc), Simulator::kAlarmChanged);
    ask(s, kRc, 0x44);
    EXPECT_EQ(analogue_flag(s, kRc), 0);

    // A command that changes nothing raises nothing.
    ask(s, kRc, 0x45, {0x2F, 1});
    ask(s, kRc, 0x45, {0x10, 0});
    EXPECT_EQ(analogue_flag(s, kRc), 0);
    // Other groups were not touched by any of it.
    EXPECT_EQ(analogue_flag(s, kAc), 0);
    EXPECT_EQ(analogue_flag(s, kDc), 0);
}

TEST(Flags, AcBreakerIsStatusMainsFailureIsAlarm) {
    Simulator s(frozen());
    s.apply(sim::parse_event_text("1:mains_fail:input=2"));
    EXPECT_EQ(s.data_flag(Simulator::kAc), Simulator::kAlarmChanged);
    s.apply(sim::parse_event_text("1:breaker_open:input=1"));
    EXPECT_EQ(analogue_flag(s, kAc), Simulator::kAlarmChanged | Simulator::kStatusChanged);
    ask(s, kAc, 0x44, kAll);
    EXPECT_EQ(analogue_flag(s, kAc), Simulator::kStatusChanged);
    ask(s, kAc, 0x43, kAll);
    EXPECT_EQ(analogue_flag(s, kAc), 0);
}

TEST(Flags, DcAlarmReplyClearsStatusAndAlarmBits) {
    Simulator s(frozen());
    ask(s, kDc, 0x49, {0x84, 0x15, 0x18});
    EXPECT_EQ(analogue_flag(s, kDc), Simulator::kStatusChanged);
    EXPECT_EQ(ask(s, kDc, 0x47).info[0], Simulator::kStatusChanged); // parameters clear nothing
    ask(s, kDc, 0x44, kAll);
    EXPECT_EQ(analogue_flag(s, kDc), 0);

    ask(s, kRc, 0x45, {0x1F, 0}); // equalise: a status change of the battery side too
    EXPECT_EQ(analogue_flag(s, kDc), Simulator::kStatusChanged);
    s.apply(sim::parse_event_text("1:dc_sag:volts=44"));
    EXPECT_EQ(analogue_flag(s, kDc), Simulator::kStatusChanged | Simulator::kAlarmChanged);
    ask(s, kDc, 0x44, kAll);
    EXPECT_EQ(analogue_flag(s, kDc), 0);
}

TEST(Flags, AReplyThatNeverWentOutClearsNothing) {
    sim::Config c = frozen();
    c.faults = {sim::parse_fault("silence:cmd=4143")};
    Simulator s(c);
    s.apply(sim::parse_event_text("1:module_remove"));
    EXPECT_TRUE(s.on_bytes(command(kRc, 0x43)).empty());
    EXPECT_EQ(s.data_flag(Simulator::kRectifier) & Simulator::kStatusChanged,
              Simulator::kStatusChanged);
}
