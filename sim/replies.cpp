#include "sim/replies.h"

namespace sim {
namespace {

constexpr uint8_t kOneUnit = 1;

// Starts a reply of an AC or DC distribution group: data flag, unit count.
Info distribution(uint8_t flag) {
    Info info;
    info.u8(flag);
    info.u8(kOneUnit);
    return info;
}

Info with_flag(uint8_t flag) {
    Info info;
    info.u8(flag);
    return info;
}

uint8_t count(size_t n) {
    return static_cast<uint8_t>(n);
}

// A named reading in hundredths, or blank fill when the name is chosen for it.
void scaled(Info &info, const FillTest &fill, const std::string &name, const Reading &r) {
    info.u16(hundredths(r.value()), fill && fill(name));
}

void plain(Info &info, const FillTest &fill, const std::string &name, const Reading &r) {
    info.u16(whole(r.value()), fill && fill(name));
}

std::string numbered(const char *group, size_t i, const char *field) {
    return group + std::to_string(i + 1) + field;
}

} // namespace

Info ac_analogue(const Plant &plant, uint8_t flag, const FillTest &fill) {
    static const char *const kPhases[] = {".ua", ".ub", ".uc"};
    static const char *const kOutputs[] = {"ac.ia", "ac.ib", "ac.ic"};
    Info info = distribution(flag);
    info.u8(count(plant.ac.size()));
    for (size_t i = 0; i < plant.ac.size(); ++i) {
        for (size_t p = 0; p < 3; ++p)
            scaled(info, fill, numbered("ac", i, kPhases[p]), plant.ac[i].phase[p]);
        scaled(info, fill, numbered("ac", i, ".f"), plant.ac[i].hz);
        info.u8(0); // user-defined values of the line
    }
    for (size_t p = 0; p < 3; ++p)
        scaled(info, fill, kOutputs[p], plant.ac_out[p]);
    return info;
}

Info ac_status(const Plant &plant, uint8_t flag) {
    Info info = distribution(flag);
    info.u8(count(plant.ac.size())); // one breaker per input
    for (const auto &in : plant.ac)
        info.u8(in.breaker);
    info.u8(0); // user-defined status bytes
    return info;
}

Info ac_alarms(const Plant &plant, uint8_t flag) {
    Info info = distribution(flag);
    info.u8(count(plant.ac.size()));
    for (const auto &in : plant.ac) {
        for (const auto &p : in.phase)
            info.u8(plant.phase_alarm(p.value()));
        info.u8(plant.frequency_alarm(in.hz.value()));
        info.u8(0); // further alarm bytes of the line
        info.u8(0); // user-defined alarm bytes of the line
    }
    for (const auto &r : plant.ac_out)
        info.u8(plant.output_current_alarm(r.value()));
    return info;
}

Info rc_analogue(const Plant &plant, uint8_t flag, const FillTest &fill) {
    Info info = with_flag(flag);
    scaled(info, fill, "rc.v", plant.rc_voltage);
    info.u8(count(plant.modules.size()));
    for (size_t i = 0; i < plant.modules.size(); ++i) {
        scaled(info, fill, numbered("rc", i, ".i"), plant.modules[i].current);
        info.u8(0); // user-defined values of the module
    }
    return info;
}

Info rc_status(const Plant &plant, uint8_t flag) {
    Info info = with_flag(flag);
    info.u8(count(plant.modules.size()));
    for (const auto &m : plant.modules) {
        info.u8(m.on ? 0x00 : 0x01);
        info.u8(m.limit ? 0x01 : 0x00);
        info.u8(static_cast<uint8_t>(m.mode));
        info.u8(1);
        info.u8(m.user_status);
    }
    return info;
}

Info rc_alarms(const Plant &plant, uint8_t flag) {
    Info info = with_flag(flag);
    info.u8(count(plant.modules.size()));
    for (const auto &m : plant.modules) {
        info.u8(m.fault ? kFault : kNormal);
        info.u8(count(m.user_alarms.size()));
        for (uint8_t b : m.user_alarms)
            info.u8(b);
    }
    return info;
}

Info dc_analogue(const Plant &plant, uint8_t flag, const FillTest &fill) {
    const auto &dc = plant.dc;
    Info info = distribution(flag);
    scaled(info, fill, "dc.v", dc.voltage);
    scaled(info, fill, "dc.load", dc.load);
    info.u8(count(dc.battery.size()));
    for (size_t i = 0; i < dc.battery.size(); ++i)
        plain(info, fill, numbered("dc.battery", i, ""), dc.battery[i]);
    info.u8(count(dc.branch.size()));
    for (size_t i = 0; i < dc.branch.size(); ++i)
        scaled(info, fill, numbered("dc.branch", i, ""), dc.branch[i]);
    info.u8(count(dc.user.size()));
    for (size_t i = 0; i < dc.user.size(); ++i)
        plain(info, fill, numbered("dc.user", i, ""), dc.user[i]);
    return info;
}

Info dc_alarms(const Plant &plant, uint8_t flag) {
    Info info = distribution(flag);
    info.u8(plant.dc_voltage_alarm());
    info.u8(count(plant.dc.fuse_alarms.size()));
    for (uint8_t b : plant.dc.fuse_alarms)
        info.u8(b);
    info.u8(count(plant.dc.user_alarms.size()));
    for (uint8_t b : plant.dc.user_alarms)
        info.u8(b);
    return info;
}

Info dc_parameters(const Plant &plant, uint8_t flag) {
    const auto &p = plant.params;
    Info info = distribution(flag);
    info.u16(p.upper_limit);
    info.u16(p.lower_limit);
    info.u16(p.charge_limit);
    info.u8(count(plant.dc.battery.size()));
    info.u16(p.float_voltage);
    info.u16(p.equalise_voltage);
    info.u16(p.temp_compensation);
    info.u16(p.capacity);
    info.u8(0); // user-defined parameters
    return info;
}

} // namespace sim
