#include "host/program/demo.h"

namespace host {
namespace {

constexpr unsigned kMainsFailRound = 8;
constexpr unsigned kBatteryLowRound = 12; // the batteries run down without mains
constexpr double kBatteryLowVolts = 46.0;
constexpr unsigned kMainsReturnRound = 16;

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
