#include "bench/bench_support.h"
#include "mpx23/test_view.h"

#include <cstdio>
#include <cstdlib>

namespace bench {
namespace {

void put16(Bytes &b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v & 0xFF));
}

const char *const kAlarmIds[] = {"220600120010", "220600130010", "220600140010", "220600160010",
                                 "220600170010", "210600320010", "210600330010", "210600340010"};

std::string reply(uint8_t cid1, const Bytes &info) {
    return frame::encode(0x20, 0x01, cid1, 0x00, info.data(), info.size());
}

Round make_round(uint8_t flag, bool full) {
    const Plant p(flag);
    Round r;
    const std::vector<std::pair<uint8_t, const Bytes *>> replies =
        full ? std::vector<std::pair<uint8_t, const Bytes *>>{{0x42, &p.parameters},
                                                              {0x40, &p.ac_analogue},
                                                              {0x40, &p.ac_status},
                                                              {0x40, &p.ac_alarms},
                                                              {0x41, &p.rc_analogue},
                                                              {0x41, &p.rc_status},
                                                              {0x41, &p.rc_alarms},
                                                              {0x42, &p.dc_analogue},
                                                              {0x42, &p.dc_alarms}}
             : std::vector<std::pair<uint8_t, const Bytes *>>{{0x42, &p.parameters},
                                                              {0x40, &p.ac_analogue},
                                                              {0x41, &p.rc_analogue},
                                                              {0x42, &p.dc_analogue}};
    for (const auto &[group, info] : replies) {
        r.frames.push_back(reply(group, *info));
        r.wire_bytes += r.frames.back().size();
    }
    // Commands: 18 characters, 20 with the one-byte INFO of AC and DC queries.
    r.wire_bytes += full ? 18 * 4 + 20 * 5 : 18 * 2 + 20 * 2;
    return r;
}

} // namespace

Plant::Plant(uint8_t flag) {
    // flag, units, three limits, battery groups | float, equalise | two more, no user values
    parameters = {0, 1, 0x16, 0xA8, 0x11, 0x94, 0x07, 0xD0, 2};
    put16(parameters, 5350);
    put16(parameters, 5600);
    parameters.insert(parameters.end(), {0xFE, 0xD4, 0x01, 0x2C, 0});

    ac_analogue = {flag, 1, 2};
    for (int line = 0; line < 2; ++line) {
        for (unsigned v : {23000u, 23100u, 22900u, 5000u})
            put16(ac_analogue, v);
        ac_analogue.push_back(0);
    }
    for (unsigned v : {1050u, 1100u, 1150u})
        put16(ac_analogue, v);
    ac_status = {flag, 1, 2, 0, 0, 0};
    ac_alarms = {flag, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

    rc_analogue = {flag};
    put16(rc_analogue, 5300);
    rc_analogue.push_back(3);
    for (unsigned current : {1000u, 1200u, 1100u}) {
        put16(rc_analogue, current);
        rc_analogue.push_back(0);
    }
    rc_status = {0, 3};
    rc_alarms = {0, 3};
    for (int m = 0; m < 3; ++m) {
        rc_status.insert(rc_status.end(), {0, 0, 1, 1, 0});
        rc_alarms.insert(rc_alarms.end(), {0, 7, 0, 0, 0, 0, 0, 0, 0});
    }

    dc_analogue = {flag, 1};
    put16(dc_analogue, 5354);
    put16(dc_analogue, 1000);
    dc_analogue.push_back(2);
    put16(dc_analogue, 100);
    put16(dc_analogue, 50);
    dc_analogue.push_back(4);
    for (unsigned v : {500u, 400u, 300u, 200u})
        put16(dc_analogue, v);
    dc_analogue.push_back(0);
    dc_alarms = {flag, 1, 0, 0, 0};
}

Round full_round() {
    return make_round(0x11, true);
}
Round quiet_round() {
    return make_round(0x00, false);
}

void prepare(MPX23 &dev, int alarm_profile) {
    play(dev, full_round());
    peek(dev).alarm_profile = alarm_profile;
    for (const char *id : kAlarmIds)
        dev.alarm_settings[id] = 1;
    for (const char *id : kAlarmIds)
        dev.alarm_thresholds[id] = 50.0f;
}

void silence_stdout() {
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
}

} // namespace bench
