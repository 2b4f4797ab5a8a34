#include "host/program/demo.h"

#include "protocol/identifiers.h"

namespace host {
namespace {

constexpr unsigned kMainsFailRound = 8;
constexpr unsigned kBatteryLowRound = 12; // the batteries run down without mains
constexpr double kBatteryLowVolts = 46.0;
constexpr unsigned kMainsReturnRound = 16;

// Each alarm and its threshold (the three AC voltage alarms use fixed limits).
const struct {
    const protocol::AlarmSignal &alarm;
    float threshold;
} kDemoAlarms[] = {
    {protocol::alarm::kAcOverVoltage, 1},     {protocol::alarm::kAcUnderVoltage, 1},
    {protocol::alarm::kAcFailure, 1},         {protocol::alarm::kAcFrequencyHigh, 55},
    {protocol::alarm::kAcFrequencyLow, 45},   {protocol::alarm::kDcVoltageLow, 47},
    {protocol::alarm::kDcVoltageVeryLow, 45}, {protocol::alarm::kDcVoltageHigh, 58},
};

Json::Value event(unsigned round, const char *name) {
    Json::Value e;
    e["round"] = round;
    e["event"] = name;
    return e;
}

Json::Value sag(unsigned round, double volts) {
    Json::Value e = event(round, "dc_sag");
    e["volts"] = volts;
    return e;
}

} // namespace

DeviceConfig demo_device() {
    DeviceConfig d;
    d.port = "sim";
    d.data_id = 1;
    d.interval = 1.0;
    d.settings["address"] = 1;
    for (const auto &a : kDemoAlarms) {
        d.alarm_settings[a.alarm.id] = 1;
        d.alarm_thresholds[a.alarm.id] = a.threshold;
    }
    Json::Value &events = d.sim["events"];
    events.append(event(kMainsFailRound, "mains_fail"));
    events.append(sag(kBatteryLowRound, kBatteryLowVolts));
    events.append(event(kMainsReturnRound, "mains_return"));
    events.append(event(kMainsReturnRound, "dc_recover"));
    return d;
}

std::string demo_banner(unsigned rounds) {
    return "demo: simulated power system, " + std::to_string(rounds) +
           " rounds at 1 s; the mains fail in round " + std::to_string(kMainsFailRound) +
           ", the batteries run low in round " + std::to_string(kBatteryLowRound) +
           ", the mains return in round " + std::to_string(kMainsReturnRound);
}

} // namespace host
