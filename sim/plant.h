// The simulated power system: AC distribution (mains inputs, output phase currents), rectifier
// modules and DC distribution (bus voltage, load, battery groups, branches), plus the DC
// distribution parameters.
//
// Each measured quantity is a Reading: a target the plant's physics (or a test) sets, plus a
// small offset that wanders from round to round. Conditions (mains present, modules on, charge
// mode, a forced DC sag) decide the targets in settle(); the replies only read.
#pragma once

#include "sim/rng.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Reading {
    double target = 0.0;
    double offset = 0.0; // this round's drift
    // A target of exactly zero (no mains, module off) reads as zero, drift or not.
    double value() const;
    void set(double v) {
        target = v;
        offset = 0.0;
    }
};

enum class ChargeMode : uint8_t { Float = 0, Equalise = 1, Test = 2 };

// Shape of the plant at start-up.
struct Layout {
    unsigned inputs = 2;
    unsigned modules = 3;
    unsigned battery_groups = 2;
    unsigned branches = 4;
    unsigned user_values = 2;
};

struct AcInput {
    std::array<Reading, 3> phase; // V
    Reading hz;
    uint8_t breaker = 0; // 0 closed, 1 open
};

struct Rectifier {
    Reading current; // A
    bool on = true;
    bool limit = false; // set by settle() when the load share exceeds the module rating
    ChargeMode mode = ChargeMode::Float;
    bool fault = false;
    uint8_t user_status = 0;
    std::array<uint8_t, 7> user_alarms{};
};

struct DcDistribution {
    Reading voltage;                  // V
    Reading load;                     // A
    std::vector<Reading> battery;     // A, sent unscaled
    std::vector<Reading> branch;      // A
    std::vector<Reading> user;        // sent unscaled (temperatures in degrees C)
    std::vector<uint8_t> fuse_alarms; // one per battery group, then one per branch
    std::array<uint8_t, 3> user_alarms{};
    std::optional<double> sag; // bus voltage forced by a sag, whatever the rectifiers do
};

// DC distribution parameters as the 0x47 reply carries them (hundredths unless noted).
struct Parameters {
    uint16_t upper_limit = 5800;                              // DC over-voltage alarm, V
    uint16_t lower_limit = 4500;                              // DC under-voltage alarm, V
    uint16_t charge_limit = 2000;                             // battery charge current limit, A
    uint16_t float_voltage = 5350;                            // V, set with parameter type 0x84
    uint16_t equalise_voltage = 5640;                         // V, set with parameter type 0x85
    uint16_t temp_compensation = static_cast<uint16_t>(-300); // mV/degC, signed; type 0x98
    uint16_t capacity = 300;                                  // battery capacity, Ah, unscaled
};

// Alarm states the power system reports for a value.
enum AlarmState : uint8_t { kNormal = 0x00, kLow = 0x01, kHigh = 0x02, kFault = 0x03 };

class Plant {
public:
    explicit Plant(const Layout &layout = {});

    // Draws this round's drift (scaled by `drift`; 0 freezes the readings) and settles.
    void new_round(Rng &rng, double drift);
    // Recomputes the targets that follow from the conditions: bus voltage, load sharing,
    // battery and branch currents, AC output currents, current limit.
    void settle();

    // True when at least one input has all three phases in the rectifiers' operating range.
    bool mains_available() const;
    // Modules that deliver current: on, not faulty, with mains available.
    unsigned active_modules() const;

    void set_mains(bool present, int input = -1); // input -1: all
    void set_mode(ChargeMode m);                  // system-wide, every module follows
    void add_module();

    uint8_t phase_alarm(double volts) const;
    uint8_t frequency_alarm(double hz) const;
    uint8_t output_current_alarm(double amps) const;
    uint8_t dc_voltage_alarm() const;

    // Readings by name: "ac1.ua" "ac1.ub" "ac1.uc" "ac1.f" (inputs from 1), "ac.ia" "ac.ib"
    // "ac.ic", "rc.v", "rc1.i" (modules from 1), "dc.v", "dc.load", "dc.battery1",
    // "dc.branch1", "dc.user1". nullptr for an unknown name.
    Reading *find(const std::string &name);
    std::vector<std::string> names() const;
    template <class F> void for_each_reading(F &&visit) { visit_readings(*this, visit); }
    template <class F> void for_each_reading(F &&visit) const { visit_readings(*this, visit); }

    std::vector<AcInput> ac;
    std::array<Reading, 3> ac_out; // A
    Reading rc_voltage;            // V
    std::vector<Rectifier> modules;
    ChargeMode mode = ChargeMode::Float;
    DcDistribution dc;
    Parameters params;

    // Fixed facts of the site.
    double nominal_volts = 230.0;
    double nominal_hz = 50.0;
    double base_load = 42.0;     // A drawn by the telecom load
    double module_rating = 50.0; // A per module before current limit

private:
    // One walk for the const and the mutable visitor.
    template <class Self, class F> static void visit_readings(Self &self, F &visit);
};

template <class Self, class F> void Plant::visit_readings(Self &self, F &visit) {
    static const char *const kPhases[] = {".ua", ".ub", ".uc"};
    static const char *const kOutputs[] = {"ac.ia", "ac.ib", "ac.ic"};
    auto indexed = [](const char *group, size_t i, const char *field) {
        return group + std::to_string(i + 1) + field;
    };
    for (size_t i = 0; i < self.ac.size(); ++i) {
        for (size_t p = 0; p < 3; ++p)
            visit(indexed("ac", i, kPhases[p]), self.ac[i].phase[p]);
        visit(indexed("ac", i, ".f"), self.ac[i].hz);
    }
    for (size_t p = 0; p < 3; ++p)
        visit(std::string(kOutputs[p]), self.ac_out[p]);
    visit(std::string("rc.v"), self.rc_voltage);
    for (size_t i = 0; i < self.modules.size(); ++i)
        visit(indexed("rc", i, ".i"), self.modules[i].current);
    visit(std::string("dc.v"), self.dc.voltage);
    visit(std::string("dc.load"), self.dc.load);
    for (size_t i = 0; i < self.dc.battery.size(); ++i)
        visit(indexed("dc.battery", i, ""), self.dc.battery[i]);
    for (size_t i = 0; i < self.dc.branch.size(); ++i)
        visit(indexed("dc.branch", i, ""), self.dc.branch[i]);
    for (size_t i = 0; i < self.dc.user.size(); ++i)
        visit(indexed("dc.user", i, ""), self.dc.user[i]);
}

} // namespace sim
