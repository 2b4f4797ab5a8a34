// A driver on the recording host, with builders for the INFO fields of every reply kind.
#pragma once

#include "mpx23/mpx23.h"
#include "mpx23/test_view.h"
#include "tests/frames.h"
#include "tests/recording_host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Copies a (possibly packed, misaligned) field: gtest binds references to its arguments, which
// a misaligned packed member must never be bound to.
template <class T> T got(T value) {
    return value;
}

inline void put16(Bytes &b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v & 0xFF));
}

inline Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Decoder inputs (what each decoder receives), in the layouts the power system sends.
namespace body {

struct AcLine {
    unsigned ua = 23000, ub = 23100, uc = 22900, f = 5000;
    uint8_t user_values = 0;
};

inline Bytes ac_analogue(const std::vector<AcLine> &lines, unsigned ia = 1050, unsigned ib = 1100,
                         unsigned ic = 1150) {
    Bytes b{static_cast<uint8_t>(lines.size())};
    for (const auto &l : lines) {
        for (unsigned v : {l.ua, l.ub, l.uc, l.f})
            put16(b, v);
        b.push_back(l.user_values);
        for (unsigned i = 0; i < l.user_values; ++i)
            put16(b, 0x1234);
    }
    for (unsigned v : {ia, ib, ic})
        put16(b, v);
    return b;
}

inline Bytes ac_status(const Bytes &breakers, uint8_t user = 0) {
    Bytes b{static_cast<uint8_t>(breakers.size())};
    b.insert(b.end(), breakers.begin(), breakers.end());
    b.push_back(user);
    return b;
}

inline Bytes ac_alarms(unsigned lines, uint8_t alarm = 0) {
    Bytes b{static_cast<uint8_t>(lines)};
    for (unsigned i = 0; i < lines; ++i)
        b.insert(b.end(), {alarm, alarm, alarm, alarm, 0, 0});
    b.insert(b.end(), {alarm, alarm, alarm});
    return b;
}

struct Module {
    unsigned current = 1000;
    uint8_t user_values = 0;
};

inline Bytes rc_analogue(uint8_t flag, unsigned out_v, const std::vector<Module> &modules) {
    Bytes b{flag};
    put16(b, out_v);
    b.push_back(static_cast<uint8_t>(modules.size()));
    for (const auto &m : modules) {
        put16(b, m.current);
        b.push_back(m.user_values);
        for (unsigned i = 0; i < m.user_values; ++i)
            put16(b, 0x4321);
    }
    return b;
}

inline Bytes rc_status(unsigned modules, uint8_t on_off = 0, uint8_t user = 0) {
    Bytes b{0x00, static_cast<uint8_t>(modules)};
    for (unsigned i = 0; i < modules; ++i) {
        b.insert(b.end(), {on_off, 0x00, 0x01, user});
        for (unsigned u = 0; u < user; ++u)
            b.push_back(static_cast<uint8_t>(0xA0 + u));
    }
    return b;
}

// The user-defined alarm bytes of each module count up from `first_user`.
inline Bytes rc_alarms(unsigned modules, uint8_t fault = 0, uint8_t user = 0,
                       uint8_t first_user = 0xB0) {
    Bytes b{0x00, static_cast<uint8_t>(modules)};
    for (unsigned i = 0; i < modules; ++i) {
        b.insert(b.end(), {fault, user});
        for (unsigned u = 0; u < user; ++u)
            b.push_back(static_cast<uint8_t>(first_user + u));
    }
    return b;
}

inline Bytes dc_analogue(unsigned voltage = 5354, unsigned load = 1000) {
    Bytes b;
    put16(b, voltage);
    put16(b, load);
    b.push_back(2);
    put16(b, 100);
    put16(b, 50);
    b.push_back(1);
    put16(b, 500);
    b.push_back(0);
    return b;
}

inline Bytes dc_alarms(uint8_t voltage_alarm = 0) {
    return {voltage_alarm, 0, 0};
}

} // namespace body

struct DriverTest : ::testing::Test {
    testing_host::RecordingHost host;
    MPX23 dev;

    // Feeds one reply frame of group `cid1` through the engine.
    void reply(uint8_t cid1, const Bytes &info) {
        auto wire = frames::bytes(frames::reply(cid1, info));
        dev.process(wire.data(), static_cast<unsigned>(wire.size()));
    }
    // AC/DC replies carry a data flag and a unit count before the decoder's input.
    void ac(uint8_t flag, const Bytes &b) { reply(0x40, cat({flag, 1}, b)); }
    void dc(uint8_t flag, const Bytes &b, uint8_t units = 1) { reply(0x42, cat({flag, units}, b)); }
    // flag, units | three limits | battery groups | a, b, two more | no user-defined values
    void parameters(uint16_t a = 0x0102, uint16_t b = 0x0304) {
        Bytes info{0, 1, 0x16, 0xA8, 0x11, 0x94, 0x07, 0xD0, 2};
        put16(info, a);
        put16(info, b);
        info.insert(info.end(), {0xFE, 0xD4, 0x01, 0x2C, 0});
        reply(0x42, info);
    }

    // Plays a power system of `lines` AC inputs and `modules` rectifiers for one round: answers
    // each command the device sends, with the given data flags, until it sends nothing more.
    // Returns the commands of the round.
    std::vector<testing_host::Command> round(uint8_t ac_flag, uint8_t rc_flag, uint8_t dc_flag,
                                             unsigned lines = 2, unsigned modules = 3) {
        host.clear();
        dev.RefreshStatus();
        for (size_t answered = 0; answered < host.sent.size() && answered < 20; ++answered) {
            const testing_host::Command c = host.sent[answered];
            answer(c, ac_flag, rc_flag, dc_flag, lines, modules);
        }
        return host.sent;
    }
    void full_round(unsigned lines = 2, unsigned modules = 3) { round(0, 0, 0, lines, modules); }

    void answer(const testing_host::Command &c, uint8_t ac_flag, uint8_t rc_flag, uint8_t dc_flag,
                unsigned lines, unsigned modules) {
        const auto ac_lines = std::vector<body::AcLine>(lines);
        const auto rc_modules = std::vector<body::Module>(modules);
        const int op = c.cid1 << 8 | c.cid2;
        switch (op) {
        case 0x4247:
            return parameters();
        case 0x4042:
            return ac(ac_flag, body::ac_analogue(ac_lines));
        case 0x4043:
            return ac(ac_flag, body::ac_status({0, 0}));
        case 0x4044:
            return ac(ac_flag, body::ac_alarms(lines));
        case 0x4142:
            return reply(0x41, body::rc_analogue(rc_flag, 5300, rc_modules));
        case 0x4143:
            return reply(0x41, body::rc_status(modules));
        case 0x4144:
            return reply(0x41, body::rc_alarms(modules));
        case 0x4242:
            return dc(dc_flag, body::dc_analogue());
        case 0x4244:
            return dc(dc_flag, body::dc_alarms());
        }
    }
};

// A driver test that keeps the driver's diagnostic lines out of the test log; they are shown
// (together with gtest's own failure messages, which also go to standard output) when the test
// fails.
struct QuietDriverTest : DriverTest {
    void SetUp() override { ::testing::internal::CaptureStdout(); }
    void TearDown() override {
        const std::string out = ::testing::internal::GetCapturedStdout();
        if (HasFailure())
            std::fputs(out.c_str(), stderr);
    }
};
