// The driver polling the simulated power system in the same process: the real polling cycle,
// protocol engine and decoders against the simulator's replies, data flags, events and faults,
// with the recording host standing in for the rest of the host.
//
// Module addressing: the remote-control command names a module by its address, counted from 1
// (0: every module), and the replies list the modules in address order, so module N is
// rc_channels[N - 1] in the driver.
#include "mpx23/mpx23.h"
#include "mpx23/test_view.h"
#include "sim/loopback.h"
#include "sim/replies.h"
#include "sim/simulator.h"
#include "sim/wire.h"
#include "tests/poll_commands.h"
#include "tests/recording_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using testing_host::cmd;
using testing_host::Command;

namespace {

// Copies a (possibly packed, misaligned) field: gtest binds references to its arguments, which
// a misaligned packed member must never be bound to.
template <class T> T got(T value) {
    return value;
}

using namespace poll_commands;

// The published block: fixed records, 19 bytes per module and 22 per AC input.
int block_size(unsigned modules, unsigned inputs = 2) {
    return static_cast<int>(280 + 19 * modules + 22 * inputs);
}

// A reading as the driver holds it: the power system sends hundredths, the driver keeps whole
// units (integer division, 53.99 V is 53).
float whole_units(const sim::Reading &r) {
    return static_cast<float>(sim::hundredths(r.value()) / 100);
}

// The same for readings that may be missing: 0x2020 (blank fill) and 0xFFFF are the no-value
// pairs and hold `placeholder`; any other value, equal bytes included, is a reading.
float whole_units_or(const sim::Reading &r, float placeholder) {
    const uint16_t h = sim::hundredths(r.value());
    const bool marker = h == 0x2020 || h == 0xFFFF;
    return marker ? placeholder : static_cast<float>(h / 100);
}

// Whether a reading goes out as two equal bytes (231.30 V is 0x5A5A).
bool equal_bytes(const sim::Reading &r) {
    const uint16_t h = sim::hundredths(r.value());
    return (h >> 8) == (h & 0xFF);
}

// An event carried out now (the round in the text is not used).
sim::Event now(const std::string &event) {
    return sim::parse_event_text("1:" + event);
}

struct Round {
    bool completed = false; // the round published a block
    std::vector<Command> sent;
};

// One power system on one line: the recording host first, then the loopback, so that the
// loopback's services are the installed ones and it forwards the rest to the recorder.
struct Line {
    explicit Line(sim::Config config = {}) : s(std::move(config)), link(s, &rec) {}

    // One polling round as the host runs it: RefreshStatus, then the line until it is quiet.
    // A round whose replies stop short never completes; the host's next RefreshStatus (after
    // its timeout) starts the next one.
    Round round() {
        const size_t first = rec.sent.size();
        const int published = rec.count("SendSP");
        dev.RefreshStatus();
        link.pump(dev);
        Round r;
        r.completed = rec.count("SendSP") == published + 1;
        r.sent.assign(rec.sent.begin() + static_cast<long>(first), rec.sent.end());
        return r;
    }

    // A control request (310, 320) and its reply.
    int control(int code, const std::string &request) {
        int used = 0;
        const int result = dev.DeviceIoControl(code, request.data(),
                                               static_cast<int>(request.size()), nullptr, 0, used);
        link.pump(dev);
        return result;
    }

    // The outcome of the last control request (301, 311, 321).
    int32_t outcome(int code) {
        int32_t value = 0;
        int used = 0;
        dev.DeviceIoControl(code, nullptr, 0, &value, sizeof value, used);
        return value;
    }

    size_t published_size() const {
        const testing_host::Call *sp = rec.last("SendSP");
        return sp ? sp->bytes.size() : 0;
    }

    sim::Simulator s;
    testing_host::RecordingHost rec;
    sim::Loopback link;
    MPX23 dev;
};

// The driver prints diagnostics to standard output; they are shown only when a test fails.
struct DriverPollsSim : ::testing::Test {
    void SetUp() override { ::testing::internal::CaptureStdout(); }
    void TearDown() override {
        const std::string out = ::testing::internal::GetCapturedStdout();
        if (HasFailure())
            std::fputs(out.c_str(), stderr);
    }
};

// Every decoded reading against the plant the replies were made from.
void expect_store_matches_plant(MPX23 &dev, const sim::Plant &plant) {
    ASSERT_EQ(peek(dev).ac_channels.size(), plant.ac.size());
    for (size_t i = 0; i < plant.ac.size(); ++i) {
        const auto &line = peek(dev).ac_channels[i];
        const auto &in = plant.ac[i];
        EXPECT_EQ(got(line.ua), whole_units_or(in.phase[0], 0.0f)) << "input " << i + 1;
        EXPECT_EQ(got(line.ub), whole_units_or(in.phase[1], 0.0f)) << "input " << i + 1;
        EXPECT_EQ(got(line.uc), whole_units_or(in.phase[2], 0.0f)) << "input " << i + 1;
        EXPECT_EQ(got(line.f), whole_units_or(in.hz, 0.0f)) << "input " << i + 1;
    }
    EXPECT_EQ(got(peek(dev).acData.ia), whole_units_or(plant.ac_out[0], -0.1f));
    EXPECT_EQ(got(peek(dev).acData.ib), whole_units_or(plant.ac_out[1], -0.1f));
    EXPECT_EQ(got(peek(dev).acData.ic), whole_units_or(plant.ac_out[2], -0.1f));
    EXPECT_EQ(got(peek(dev).rcData.out_v), whole_units(plant.rc_voltage));
    ASSERT_EQ(peek(dev).rc_channels.size(), plant.modules.size());
    for (size_t i = 0; i < plant.modules.size(); ++i)
        EXPECT_EQ(got(peek(dev).rc_channels[i].out_i), whole_units(plant.modules[i].current))
            << "module " << i + 1;
    EXPECT_EQ(got(peek(dev).dcData.voltage), whole_units(plant.dc.voltage));
    EXPECT_EQ(got(peek(dev).dcData.load_current), whole_units(plant.dc.load));
    EXPECT_EQ(peek(dev).param47_a, plant.params.float_voltage);
    EXPECT_EQ(peek(dev).param47_b, plant.params.equalise_voltage);
}

TEST_F(DriverPollsSim, ManyRoundsCompleteAndTheStoreFollowsThePlant) {
    Line line;
    for (int n = 1; n <= 30; ++n) {
        SCOPED_TRACE("round " + std::to_string(n));
        const Round r = line.round();
        ASSERT_TRUE(r.completed);
        EXPECT_EQ(line.rec.count("SendSP"), n);
        EXPECT_EQ(line.dev.data_ready, 1);
        EXPECT_EQ(r.sent, n == 1 ? kFullRound : kQuietRound);
        EXPECT_EQ(line.published_size(), 381u);
        EXPECT_EQ(line.s.round(), static_cast<unsigned>(n));
        expect_store_matches_plant(line.dev, line.s.plant());

        // Plausible values, so that the comparison above is not of two zeros.
        EXPECT_EQ(got(peek(line.dev).dcData.voltage), 53.0f);  // float voltage 53.50 V
        const float hz = got(peek(line.dev).ac_channels[0].f); // 50.00 Hz and its drift
        EXPECT_TRUE(hz == 49.0f || hz == 50.0f) << hz;
        const float module_current = got(peek(line.dev).rc_channels[0].out_i); // 44 A over three
        EXPECT_TRUE(module_current >= 13.0f && module_current <= 16.0f) << module_current;

        // The block ends with the two parameters, in host byte order.
        const auto &block = line.rec.last("SendSP")->bytes;
        uint16_t tail[2];
        std::memcpy(tail, block.data() + block.size() - sizeof tail, sizeof tail);
        EXPECT_EQ(tail[0], 5350);
        EXPECT_EQ(tail[1], 5640);
    }
    EXPECT_EQ(got(peek(line.dev).rcData.channel_count), 3);
    EXPECT_EQ(got(peek(line.dev).acData.channel_count), 2);
    EXPECT_EQ(line.dev.fault_count(FrameFault::Checksum), 0u);
}

TEST_F(DriverPollsSim, DataFlagsBringTheStatusAndAlarmQueriesOnce) {
    Line line;
    ASSERT_EQ(line.round().sent, kFullRound);
    ASSERT_EQ(line.round().sent, kQuietRound);

    struct Case {
        const char *event;
        std::vector<Command> next;
    };
    const Case cases[] = {
        // AC status only: a breaker.
        {"breaker_open:input=2", {kParams, kAcAnalogue, kAcStatus, kRcAnalogue, kDcAnalogue}},
        // Rectifier alarms only: a module fault (the others take over its share).
        {"module_fault:module=3", {kParams, kAcAnalogue, kRcAnalogue, kRcAlarms, kDcAnalogue}},
        // AC alarms only: one phase too high.
        {"ac_overvoltage:input=1:phase=b:volts=290",
         {kParams, kAcAnalogue, kAcAlarms, kRcAnalogue, kDcAnalogue}},
        // DC alarms: the bus sags below the lower limit.
        {"dc_sag:volts=44.5", {kParams, kAcAnalogue, kRcAnalogue, kDcAnalogue, kDcAlarms}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.event);
        ASSERT_TRUE(line.s.apply(now(c.event)));
        const Round changed = line.round();
        EXPECT_TRUE(changed.completed);
        EXPECT_EQ(changed.sent, c.next);
        const Round after = line.round();
        EXPECT_TRUE(after.completed);
        EXPECT_EQ(after.sent, kQuietRound);
    }
    // What the status and alarm replies brought is in the store.
    EXPECT_EQ(got(peek(line.dev).acData.airlock[0]), 0);
    EXPECT_EQ(got(peek(line.dev).acData.airlock[1]), 1);
    EXPECT_EQ(got(peek(line.dev).rc_channels[2].fault), 3);
    EXPECT_EQ(got(peek(line.dev).rc_channels[0].fault), 0);
    EXPECT_EQ(got(peek(line.dev).ac_channels[0].ub_alarm), 2);
    EXPECT_EQ(got(peek(line.dev).ac_channels[0].ua_alarm), 0);
    EXPECT_EQ(got(peek(line.dev).dcData.voltage_alarm), 1);
    EXPECT_EQ(got(peek(line.dev).dcData.voltage), 44.0f); // 44.50 V, drift or not
}

TEST_F(DriverPollsSim, RemoteControlSwitchesModulesAndChargeMode) {
    Line line;
    ASSERT_TRUE(line.round().completed);
    ASSERT_EQ(line.outcome(321), -1); // nothing asked yet

    // Module 2 off.
    ASSERT_EQ(line.control(320, "419500200002"), 0);
    EXPECT_EQ(line.rec.sent.back(), cmd(0x41, 0x45, {0x2F, 0x02}));
    EXPECT_EQ(line.outcome(321), 1);
    EXPECT_FALSE(line.s.plant().modules[1].on);
    Round r = line.round();
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.sent,
              (std::vector<Command>{kParams, kAcAnalogue, kRcAnalogue, kRcStatus, kDcAnalogue}));
    EXPECT_EQ(got(peek(line.dev).rc_channels[0].on_off), 0);
    EXPECT_EQ(got(peek(line.dev).rc_channels[1].on_off), 1);
    EXPECT_EQ(got(peek(line.dev).rc_channels[2].on_off), 0);
    EXPECT_EQ(got(peek(line.dev).rc_channels[1].out_i), 0.0f);
    const float share = got(peek(line.dev).rc_channels[0].out_i); // 44 A over two
    EXPECT_TRUE(share >= 21.0f && share <= 23.0f) << share;
    EXPECT_EQ(line.round().sent, kQuietRound);

    // Equalise charge: system-wide, every module follows, and the DC side's mode changes too.
    ASSERT_EQ(line.control(320, "419500600000"), 0);
    EXPECT_EQ(line.outcome(321), 1);
    r = line.round();
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.sent, (std::vector<Command>{kParams, kAcAnalogue, kRcAnalogue, kRcStatus,
                                            kDcAnalogue, kDcAlarms}));
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(got(peek(line.dev).rc_channels[i].charge_mode), 1) << "module " << i + 1;
    EXPECT_EQ(got(peek(line.dev).dcData.voltage), 56.0f); // equalise voltage 56.40 V

    // Module 2 on again, back to float.
    ASSERT_EQ(line.control(320, "419500201002"), 0);
    ASSERT_EQ(line.control(320, "4195006010"), 0);
    EXPECT_EQ(line.outcome(321), 1);
    r = line.round();
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(got(peek(line.dev).rc_channels[1].on_off), 0);
    EXPECT_EQ(got(peek(line.dev).rc_channels[1].charge_mode), 0);
    EXPECT_EQ(got(peek(line.dev).dcData.voltage), 53.0f);

    // A module the power system does not have: it answers with an error, the request stays
    // not done, and the next round is not disturbed.
    ASSERT_EQ(line.control(320, "419500200009"), 0);
    EXPECT_EQ(line.outcome(321), -1);
    EXPECT_EQ(line.dev.fault_count(FrameFault::ReturnCode), 1u);
    r = line.round();
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.sent, kQuietRound);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(got(peek(line.dev).rc_channels[i].on_off), 0) << "module " << i + 1;
}

TEST_F(DriverPollsSim, ParameterSetIsReadBackInTheNextRound) {
    Line line;
    ASSERT_TRUE(line.round().completed);
    EXPECT_EQ(peek(line.dev).param47_a, 5350);
    EXPECT_EQ(peek(line.dev).param47_b, 5640);

    ASSERT_EQ(line.control(310, R"({"signal_id": "4196A3201001", "SetValue": 54.5})"), 0);
    EXPECT_EQ(line.outcome(311), 1);
    EXPECT_EQ(line.s.plant().params.float_voltage, 5450);
    Round r = line.round();
    EXPECT_TRUE(r.completed);
    // A parameter is DC status: the DC alarm query follows.
    EXPECT_EQ(r.sent,
              (std::vector<Command>{kParams, kAcAnalogue, kRcAnalogue, kDcAnalogue, kDcAlarms}));
    EXPECT_EQ(peek(line.dev).param47_a, 5450);
    EXPECT_EQ(peek(line.dev).param47_b, 5640);
    EXPECT_EQ(got(peek(line.dev).dcData.voltage), 54.0f); // the bus follows the float voltage

    ASSERT_EQ(line.control(310, R"({"signal_id": "4196A3101001", "SetValue": "56.25"})"), 0);
    EXPECT_EQ(line.outcome(311), 1);
    // Temperature compensation is signed: -2.5 mV/degC goes as the 16 bits of -250.
    ASSERT_EQ(line.control(310, R"({"signal_id": "4196A3301001", "SetValue": -2.5})"), 0);
    EXPECT_EQ(line.outcome(311), 1);
    EXPECT_EQ(line.s.plant().params.temp_compensation, static_cast<uint16_t>(-250));
    r = line.round();
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(peek(line.dev).param47_a, 5450);
    EXPECT_EQ(peek(line.dev).param47_b, 5625);
    EXPECT_EQ(line.round().sent, kQuietRound);
}

TEST_F(DriverPollsSim, EachLineFaultCostsAtMostTheRoundItHits) {
    struct Case {
        const char *fault; // ":rounds=N" is added
        unsigned round;
        bool round_survives; // the engine copes and the round completes anyway
    };
    const Case cases[] = {
        {"checksum", 5, false},
        {"lchecksum", 5, false},
        {"group", 5, false}, // the AC analogue reply from another group: Reset, round given up
        {"rtn", 5, false},
        {"rtn:code=0x80", 5, false},
        {"silence", 5, false},
        {"truncate", 5, false},
        {"noise:bytes=12", 5, true},
        {"split:pieces=5", 5, true},
        {"echo", 5, true},
        {"slow:ms=2000", 5, true},
        {"pace", 5, true},
        // Striking in the middle of a quiet round.
        {"checksum:cmd=4142", 5, false},
        {"group:cmd=4142", 5, false},
        {"truncate:cmd=4042", 5, false},
        {"silence:cmd=4242", 5, false},
        {"rtn:code=6:cmd=4242", 5, false},
        // Striking the first round, while the driver sizes its lists.
        {"truncate:cmd=4142", 1, false},
        {"checksum:cmd=4143", 1, false},
        {"silence:cmd=4244", 1, false},
        {"echo", 1, true},
    };
    for (const Case &c : cases) {
        const std::string fault = std::string(c.fault) + ":rounds=" + std::to_string(c.round);
        SCOPED_TRACE(fault);
        sim::Config config;
        config.faults = {sim::parse_fault(fault)};
        Line line(config);
        for (unsigned n = 1; n < c.round; ++n)
            ASSERT_TRUE(line.round().completed) << "round " << n;

        const int published = line.rec.count("SendSP");
        const Round hit = line.round();
        EXPECT_EQ(hit.completed, c.round_survives);

        // The next round completes; one that follows a round that never completed still asks
        // everything when no round had completed before.
        const Round next = line.round();
        EXPECT_TRUE(next.completed);
        EXPECT_EQ(line.rec.count("SendSP"), published + (c.round_survives ? 2 : 1));
        if (c.round == 1 && !c.round_survives) {
            EXPECT_EQ(next.sent, kFullRound);
        }
        EXPECT_EQ(line.published_size(), 381u);
        expect_store_matches_plant(line.dev, line.s.plant());
        EXPECT_TRUE(line.round().completed);
    }
}

TEST_F(DriverPollsSim, ModulesAddedAndRemovedResizeTheBlock) {
    Line line;
    ASSERT_TRUE(line.round().completed);
    ASSERT_EQ(line.published_size(), 381u);

    struct Step {
        const char *event;
        unsigned modules;
    };
    const Step steps[] = {
        {"module_add", 4},
        {"module_add", 5},
        {"module_remove", 4},
        {"module_remove:module=1", 3},
        {"module_remove:module=2", 2},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.event);
        ASSERT_TRUE(line.s.apply(now(step.event)));
        const Round r = line.round();
        ASSERT_TRUE(r.completed);
        // A changed list changes the modules' status and alarm replies.
        EXPECT_EQ(r.sent, (std::vector<Command>{kParams, kAcAnalogue, kRcAnalogue, kRcStatus,
                                                kRcAlarms, kDcAnalogue}));
        EXPECT_EQ(peek(line.dev).rc_channels.size(), step.modules);
        EXPECT_EQ(got(peek(line.dev).rcData.channel_count), step.modules);
        EXPECT_EQ(peek(line.dev).block_length(), block_size(step.modules));
        EXPECT_EQ(line.published_size(), static_cast<size_t>(block_size(step.modules)));
        expect_store_matches_plant(line.dev, line.s.plant());
        for (size_t i = 0; i < step.modules; ++i)
            EXPECT_EQ(got(peek(line.dev).rc_channels[i].on_off), 0) << "module " << i + 1;
        EXPECT_EQ(line.round().sent, kQuietRound);
    }
}

TEST_F(DriverPollsSim, ReadingsSentAsBlankFillAreHeldAsNoValue) {
    sim::Config config;
    config.fill = {"ac2.*", "ac.ib", "dc.user2"};
    config.scenario.add(sim::parse_event_text("3:value_back"));
    Line line(config);
    for (unsigned n = 1; n <= 3; ++n) {
        SCOPED_TRACE("round " + std::to_string(n));
        ASSERT_TRUE(line.round().completed);
        const bool blank = n < 3;
        const auto &in2 = peek(line.dev).ac_channels.at(1);
        const auto &plant2 = line.s.plant().ac[1];
        EXPECT_EQ(got(in2.ua), blank ? 0.0f : whole_units_or(plant2.phase[0], 0.0f));
        EXPECT_EQ(got(in2.ub), blank ? 0.0f : whole_units_or(plant2.phase[1], 0.0f));
        EXPECT_EQ(got(in2.uc), blank ? 0.0f : whole_units_or(plant2.phase[2], 0.0f));
        EXPECT_EQ(got(in2.f), blank ? 0.0f : whole_units_or(plant2.hz, 0.0f));
        EXPECT_EQ(got(peek(line.dev).acData.ib),
                  blank ? -0.1f : whole_units_or(line.s.plant().ac_out[1], -0.1f));
        EXPECT_EQ(got(peek(line.dev).dcData.p_values[1]),
                  blank ? -0.1f
                        : static_cast<float>(sim::whole(line.s.plant().dc.user[1].value())));
        // The values around them are read as usual.
        EXPECT_EQ(got(peek(line.dev).ac_channels[0].ua),
                  whole_units_or(line.s.plant().ac[0].phase[0], 0.0f));
        EXPECT_EQ(got(peek(line.dev).acData.ia), whole_units_or(line.s.plant().ac_out[0], -0.1f));
        EXPECT_EQ(got(peek(line.dev).dcData.p_values[0]),
                  static_cast<float>(sim::whole(line.s.plant().dc.user[0].value())));
    }
    EXPECT_EQ(line.dev.fault_count(FrameFault::Character), 0u);
}

TEST_F(DriverPollsSim, MainsFailureRaisesThePowerFailureAlarmForTheOutage) {
    const char *const kPowerFailure = "220600140010";
    sim::Config config;
    config.scenario.add(sim::parse_event_text("5:mains_fail"));
    config.scenario.add(sim::parse_event_text("8:mains_return"));
    Line line(config);
    const char *const kAlarms[] = {"220600120010", "220600130010", "220600140010", "220600160010",
                                   "220600170010", "210600320010", "210600330010", "210600340010"};
    for (const char *id : kAlarms)
        line.dev.alarm_settings[id] = 1;
    line.dev.alarm_thresholds["220600160010"] = 52.5f;
    line.dev.alarm_thresholds["220600170010"] = 47.5f;
    line.dev.alarm_thresholds["210600320010"] = 47.0f;
    line.dev.alarm_thresholds["210600330010"] = 45.0f;
    line.dev.alarm_thresholds["210600340010"] = 58.0f;

    for (unsigned n = 1; n <= 10; ++n) {
        SCOPED_TRACE("round " + std::to_string(n));
        const size_t first = line.rec.alarms.size();
        const Round r = line.round();
        ASSERT_TRUE(r.completed);
        EXPECT_EQ(peek(line.dev).alarm_profile, 2);
        std::set<std::string> reported, active;
        int power_failure_reports = 0;
        for (size_t i = first; i < line.rec.alarms.size(); ++i) {
            const auto &a = line.rec.alarms[i];
            reported.insert(a.id);
            if (a.active)
                active.insert(a.id);
            power_failure_reports += a.id == kPowerFailure;
        }
        EXPECT_EQ(reported.size(), 8u);
        EXPECT_EQ(power_failure_reports, 1);
        const bool outage = n >= 5 && n < 8;
        EXPECT_EQ(active, outage ? std::set<std::string>{kPowerFailure} : std::set<std::string>{});
        // The outage as the store holds it: no phase voltage, the batteries carry the bus.
        if (outage) {
            for (const auto &in : peek(line.dev).ac_channels)
                EXPECT_EQ(got(in.ua) + got(in.ub) + got(in.uc), 0.0f);
            EXPECT_EQ(got(peek(line.dev).dcData.voltage), 48.0f);
            EXPECT_EQ(got(peek(line.dev).rc_channels[0].out_i), 0.0f);
        }
        // The fall and the return change the AC alarm states: the alarm query follows.
        if (n == 5 || n == 8) {
            EXPECT_EQ(r.sent, (std::vector<Command>{kParams, kAcAnalogue, kAcAlarms, kRcAnalogue,
                                                    kDcAnalogue}));
        }
    }
}

TEST_F(DriverPollsSim, AMainsReadingOfTwoEqualBytesIsNoMissingPhase) {
    // A normal mains wandering round 230 V: now and then a phase goes out as two equal bytes
    // (0x5959, 0x5A5A). None of them may be held as 0 V, nor raise an under-voltage or power
    // failure alarm.
    sim::Config config;
    config.seed = 23;
    Line line(config);
    line.dev.alarm_settings["220600130010"] = 1; // under-voltage
    line.dev.alarm_settings["220600140010"] = 1; // power failure
    auto &plant = line.s.plant();
    unsigned equal_pairs = 0;
    for (unsigned n = 1; n <= 2000; ++n) {
        const size_t first = line.rec.alarms.size();
        ASSERT_TRUE(line.round().completed) << "round " << n;
        for (size_t i = 0; i < plant.ac.size(); ++i) {
            for (size_t p = 0; p < 3; ++p) {
                equal_pairs += equal_bytes(plant.ac[i].phase[p]);
                const auto &in = peek(line.dev).ac_channels[i];
                const float held[] = {got(in.ua), got(in.ub), got(in.uc)};
                ASSERT_EQ(held[p], whole_units(plant.ac[i].phase[p]))
                    << "round " << n << ", input " << i + 1 << ", phase " << p;
                ASSERT_GE(held[p], 200.0f);
            }
        }
        for (size_t i = first; i < line.rec.alarms.size(); ++i)
            ASSERT_FALSE(line.rec.alarms[i].active) << line.rec.alarms[i].id << " round " << n;
    }
    EXPECT_GT(equal_pairs, 20u); // the case did come up
}

TEST_F(DriverPollsSim, ALateReplyInPlaceOfTheParameterReplyChangesNoParameter) {
    // Every tenth round the parameter reply is lost and a late rectifier reply of the round
    // before arrives in its place; five rounds later a late DC analogue reply (the same group as
    // the parameter reply) arrives just before it. No published block may carry other
    // parameters than the plant's.
    sim::Config config;
    std::string rounds;
    for (unsigned n = 10; n <= 200; n += 10)
        rounds += (rounds.empty() ? "" : ",") + std::to_string(n);
    config.faults = {sim::parse_fault("silence:cmd=4247:rounds=" + rounds)};
    Line line(config);
    auto deliver = [&line](std::string late) {
        line.dev.process(reinterpret_cast<unsigned char *>(&late[0]),
                         static_cast<unsigned>(late.size()));
    };
    unsigned completed = 0, wrong = 0;
    for (unsigned n = 1; n <= 200; ++n) {
        const int published = line.rec.count("SendSP");
        line.dev.RefreshStatus();
        if (n % 10 == 0) {
            line.link.pump(line.dev); // the lost parameter reply: nothing comes
            deliver(sim::encode_reply(0x20, 1, 0x41, 0, sim::rc_analogue(line.s.plant(), 0, {})));
        } else if (n % 10 == 5) {
            deliver(sim::encode_reply(0x20, 1, 0x42, 0, sim::dc_analogue(line.s.plant(), 0, {})));
        }
        line.link.pump(line.dev);
        if (line.rec.count("SendSP") != published + 1)
            continue;
        ++completed;
        const auto &block = line.rec.last("SendSP")->bytes;
        uint16_t tail[2];
        std::memcpy(tail, block.data() + block.size() - sizeof tail, sizeof tail);
        wrong += tail[0] != 5350 || tail[1] != 5640;
    }
    EXPECT_EQ(completed, 200u); // the round goes on as before
    EXPECT_EQ(wrong, 0u);
    // One line per late reply, one for the profile.
    EXPECT_EQ(line.rec.log.size(), 20u + 20u + 1);
    EXPECT_EQ(std::count(line.rec.log.begin(), line.rec.log.end(),
                         "PMBusPower:ProcotolError 0 parameter reply from group 0x41 ignored"),
              20);
}

TEST_F(DriverPollsSim, AParameterOutsideItsRangeIsRefusedByThePowerSystem) {
    Line line;
    ASSERT_TRUE(line.round().completed);
    // 655.35 V float voltage: refused with "invalid data", nothing changes.
    ASSERT_EQ(line.control(310, R"({"signal_id": "4196A3201001", "SetValue": 655.35})"), 0);
    EXPECT_EQ(line.outcome(311), -1);
    EXPECT_EQ(line.dev.fault_count(FrameFault::ReturnCode), 1u);
    EXPECT_EQ(line.dev.refusal(), 0x06);
    EXPECT_EQ(line.s.plant().params.float_voltage, 5350);
    ASSERT_TRUE(line.round().completed);
    EXPECT_EQ(line.dev.refusal(), -1); // the next command forgets it
    EXPECT_EQ(peek(line.dev).param47_a, 5350);
    // A plausible value is carried out.
    ASSERT_EQ(line.control(310, R"({"signal_id": "4196A3201001", "SetValue": 54})"), 0);
    EXPECT_EQ(line.outcome(311), 1);
    EXPECT_EQ(line.dev.refusal(), -1);
    EXPECT_EQ(line.s.plant().params.float_voltage, 5400);
}

} // namespace
