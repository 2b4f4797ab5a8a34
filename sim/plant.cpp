#include "sim/plant.h"

#include <algorithm>

namespace sim {
namespace {

// Where the power system raises its own alarm states.
constexpr double kPhaseLowVolts = 180.0;
constexpr double kPhaseHighVolts = 275.0;
constexpr double kLowHz = 47.5;
constexpr double kHighHz = 52.5;
constexpr double kOutputCurrentLimit = 60.0;

// Input range in which the rectifiers run.
constexpr double kRectifierMinVolts = 85.0;
constexpr double kRectifierMaxVolts = 300.0;
constexpr double kRectifierMinHz = 40.0;
constexpr double kRectifierMaxHz = 70.0;

// Bus voltage while the batteries carry the load alone, and during a battery test (the
// rectifiers back off below the battery voltage).
constexpr double kBatteryVolts = 48.5;
constexpr double kTestVolts = 50.0;
constexpr double kFloatChargeAmps = 2.0;    // per battery group
constexpr double kEqualiseChargeAmps = 8.0; // per battery group
constexpr double kEfficiency = 0.92;

// Typical battery and cabinet temperatures for the user-defined values, in degrees C.
constexpr double kUserValues[] = {25.0, 28.0, 24.0, 30.0};

// Drift: each round the offset halves and picks up fresh noise of this size.
constexpr double kVoltsNoise = 0.8;
constexpr double kHzNoise = 0.02;
constexpr double kBusNoise = 0.02;
constexpr double kCurrentNoise = 0.01; // relative
constexpr double kPlainNoise = 0.3;

void wander(Reading &r, Rng &rng, double sigma) {
    r.offset = 0.5 * r.offset + sigma * rng.jitter();
}

bool in_range(double v, double low, double high) {
    return v >= low && v <= high;
}

bool input_available(const AcInput &in) {
    if (in.breaker != 0 || !in_range(in.hz.value(), kRectifierMinHz, kRectifierMaxHz))
        return false;
    return std::all_of(in.phase.begin(), in.phase.end(), [](const Reading &p) {
        return in_range(p.value(), kRectifierMinVolts, kRectifierMaxVolts);
    });
}

} // namespace

double Reading::value() const {
    return target == 0.0 ? 0.0 : std::max(0.0, target + offset);
}

Plant::Plant(const Layout &layout) : ac(layout.inputs), modules(layout.modules) {
    set_mains(true);
    dc.battery.resize(layout.battery_groups);
    dc.branch.resize(layout.branches);
    dc.user.resize(layout.user_values);
    for (size_t i = 0; i < dc.user.size(); ++i)
        dc.user[i].set(kUserValues[i % std::size(kUserValues)]);
    dc.fuse_alarms.assign(layout.battery_groups + layout.branches, kNormal);
    settle();
}

void Plant::new_round(Rng &rng, double drift) {
    settle();
    for (auto &in : ac) {
        for (auto &p : in.phase)
            wander(p, rng, kVoltsNoise * drift);
        wander(in.hz, rng, kHzNoise * drift);
    }
    auto current = [&](Reading &r) { wander(r, rng, (kCurrentNoise * r.target + 0.05) * drift); };
    for (auto &r : ac_out)
        current(r);
    wander(rc_voltage, rng, kBusNoise * drift);
    for (auto &m : modules)
        current(m.current);
    wander(dc.voltage, rng, kBusNoise * drift);
    current(dc.load);
    for (auto &r : dc.branch)
        current(r);
    for (auto &r : dc.battery)
        wander(r, rng, kPlainNoise * drift);
    for (auto &r : dc.user)
        wander(r, rng, kPlainNoise * drift);
}

bool Plant::mains_available() const {
    return std::any_of(ac.begin(), ac.end(), input_available);
}

unsigned Plant::active_modules() const {
    if (!mains_available())
        return 0;
    return static_cast<unsigned>(std::count_if(
        modules.begin(), modules.end(), [](const Rectifier &m) { return m.on && !m.fault; }));
}

void Plant::settle() {
    const unsigned active = active_modules();
    // A battery test backs the rectifiers off, so the batteries carry the load as they do
    // without mains.
    const bool charging = active > 0 && mode != ChargeMode::Test;
    double bus = kBatteryVolts;
    if (mode == ChargeMode::Test && active > 0)
        bus = kTestVolts;
    else if (charging)
        bus =
            (mode == ChargeMode::Equalise ? params.equalise_voltage : params.float_voltage) / 100.0;
    bus = std::clamp(bus, 40.0, 60.0);
    if (dc.sag)
        bus = *dc.sag;
    dc.voltage.target = bus;
    dc.load.target = base_load;

    const double per_group = mode == ChargeMode::Equalise ? kEqualiseChargeAmps : kFloatChargeAmps;
    double charge_total = 0.0;
    for (auto &b : dc.battery) {
        b.target = charging ? per_group : base_load / static_cast<double>(dc.battery.size());
        charge_total += charging ? per_group : 0.0;
    }

    // Branches share the load in fixed proportions 1 : 2 : 3 ...
    const double weights = dc.branch.size() * (dc.branch.size() + 1) / 2.0;
    for (size_t i = 0; i < dc.branch.size(); ++i)
        dc.branch[i].target = base_load * static_cast<double>(i + 1) / weights;

    const double share = charging ? (base_load + charge_total) / active : 0.0;
    double delivered = 0.0;
    for (auto &m : modules) {
        const bool running = charging && m.on && !m.fault;
        m.limit = running && share > module_rating;
        m.current.target = running ? std::min(share, module_rating) : 0.0;
        delivered += m.current.target;
    }
    rc_voltage.target = bus + (charging ? 0.1 : 0.0);

    const double per_phase = bus * delivered / (kEfficiency * 3.0 * nominal_volts);
    for (auto &r : ac_out)
        r.target = per_phase;
}

void Plant::set_mains(bool present, int input) {
    for (size_t i = 0; i < ac.size(); ++i) {
        if (input >= 0 && static_cast<size_t>(input) != i)
            continue;
        for (auto &p : ac[i].phase)
            p.set(present ? nominal_volts : 0.0);
        ac[i].hz.set(present ? nominal_hz : 0.0);
    }
}

void Plant::set_mode(ChargeMode m) {
    mode = m;
    for (auto &module : modules)
        module.mode = m;
}

void Plant::add_module() {
    Rectifier r;
    r.mode = mode;
    modules.push_back(r);
}

uint8_t Plant::phase_alarm(double volts) const {
    return volts < kPhaseLowVolts ? kLow : volts > kPhaseHighVolts ? kHigh : kNormal;
}

uint8_t Plant::frequency_alarm(double hz) const {
    return hz < kLowHz ? kLow : hz > kHighHz ? kHigh : kNormal;
}

uint8_t Plant::output_current_alarm(double amps) const {
    return amps > kOutputCurrentLimit ? kHigh : kNormal;
}

uint8_t Plant::dc_voltage_alarm() const {
    const double v = dc.voltage.value();
    return v < params.lower_limit / 100.0 ? kLow : v > params.upper_limit / 100.0 ? kHigh : kNormal;
}

Reading *Plant::find(const std::string &name) {
    Reading *found = nullptr;
    for_each_reading([&](const std::string &n, Reading &r) {
        if (n == name)
            found = &r;
    });
    return found;
}

std::vector<std::string> Plant::names() const {
    std::vector<std::string> out;
    for_each_reading([&](const std::string &n, const Reading &) { out.push_back(n); });
    return out;
}

} // namespace sim
