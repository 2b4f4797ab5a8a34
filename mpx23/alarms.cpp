// End-of-round work: refresh the data block, then, for a two-input power system, report the
// state of each enabled alarm to the host. The driver keeps no alarm state: raising, clearing
// and delays are the host's.
#include "mpx23/mpx23.h"

#include <boost/lexical_cast.hpp>

#include <cstdio>
#include <iterator>
#include <vector>

namespace {

constexpr int kTwoInputProfile = 2;
constexpr float kOverVoltage = 280.0f;
constexpr float kUnderVoltage = 150.0f;  // also the power-failure limit
constexpr double kReadingPresent = 0.01; // a value the power system did not send is held as 0.0

struct Readings {
    float phase[6]; // ua ub uc of input 1, then of input 2
    float freq[2];
    float dc_voltage;
};

bool is_reading(float v) {
    return static_cast<double>(v) > kReadingPresent;
}

bool any_phase_above(const Readings &r, float limit) {
    for (float v : r.phase)
        if (v > limit)
            return true;
    return false;
}
bool any_phase_low(const Readings &r, float limit) {
    for (float v : r.phase)
        if (is_reading(v) && v < limit)
            return true;
    return false;
}
bool all_phases_below(const Readings &r, float limit) {
    for (float v : r.phase)
        if (!(v < limit))
            return false;
    return true;
}
bool any_freq_above(const Readings &r, float limit) {
    return r.freq[0] > limit || r.freq[1] > limit;
}
bool any_freq_low(const Readings &r, float limit) {
    return (is_reading(r.freq[0]) && r.freq[0] < limit) ||
           (is_reading(r.freq[1]) && r.freq[1] < limit);
}
bool dc_below(const Readings &r, float limit) {
    return r.dc_voltage < limit;
}
bool dc_above(const Readings &r, float limit) {
    return r.dc_voltage > limit;
}

enum class Detail { Voltages, Frequencies, DcVoltage };

struct AlarmRule {
    const char *signal_id;
    const char *text;
    bool (*active)(const Readings &, float limit);
    bool limit_from_thresholds; // else the fixed limit
    float fixed_limit;
    Detail detail;
};

// Evaluated in this order, each enabled alarm reported once per round.
const AlarmRule kAlarms[] = {
    {"220600120010", "001#48V直流系统交流输入电压过高告警", any_phase_above, false, kOverVoltage,
     Detail::Voltages},
    {"220600130010", "001#48V直流系统交流输入电压过低告警", any_phase_low, false, kUnderVoltage,
     Detail::Voltages},
    {"220600140010", "001#48V直流系统交流输入停电告警", all_phases_below, false, kUnderVoltage,
     Detail::Voltages},
    {"220600160010", "001#48V直流系统交流输入频率过高告警", any_freq_above, true, 0.0f,
     Detail::Frequencies},
    {"220600170010", "001#48V直流系统交流输入频率过低告警", any_freq_low, true, 0.0f,
     Detail::Frequencies},
    {"210600320010", "48V直流系统直流总电压过低告警", dc_below, true, 0.0f, Detail::DcVoltage},
    {"210600330010", "48V直流系统直流总电压超低告警", dc_below, true, 0.0f, Detail::DcVoltage},
    {"210600340010", "直流总电压过高告警", dc_above, true, 0.0f, Detail::DcVoltage},
};

// The detail texts write each reading as a text stream writes a float with default settings:
// general notation, six significant digits ("%g"). snprintf into the reused string spares the
// stream's allocations in every round.
void voltage_text(const Readings &r, std::string &out) {
    char text[192];
    const int n = std::snprintf(text, sizeof text, "ua1:%g ub1:%g uc1:%g ua2:%g ub2:%g uc2:%g",
                                double(r.phase[0]), double(r.phase[1]), double(r.phase[2]),
                                double(r.phase[3]), double(r.phase[4]), double(r.phase[5]));
    out.assign(text, static_cast<size_t>(n));
}

void frequency_text(const Readings &r, std::string &out) {
    char text[64];
    const int n =
        std::snprintf(text, sizeof text, "f1:%g f2:%g", double(r.freq[0]), double(r.freq[1]));
    out.assign(text, static_cast<size_t>(n));
}

void detail_text(Detail detail, const Readings &r, std::string &out) {
    switch (detail) {
    case Detail::Voltages:
        return voltage_text(r, out);
    case Detail::Frequencies:
        return frequency_text(r, out);
    case Detail::DcVoltage:
        break;
    }
    out = boost::lexical_cast<std::string>(r.dc_voltage); // nine significant digits
}

} // namespace

void MPX23::RunCheckThreshold() {
    refresh_block();
    // The two-input check set reads two AC input records; it is selected by the AC analogue
    // reply's input count, and is never run on records that do not exist.
    if (alarm_profile != kTwoInputProfile || ac_channels.size() < 2)
        return;
    const mpx23_ac_channel &in1 = ac_channels[0];
    const mpx23_ac_channel &in2 = ac_channels[1];
    const Readings readings = {
        {in1.ua, in1.ub, in1.uc, in2.ua, in2.ub, in2.uc}, {in1.f, in2.f}, dcData.voltage};

    // The identifiers and texts as strings, made once: the host takes them by reference.
    struct Names {
        std::string id, text;
    };
    static const std::vector<Names> names = [] {
        std::vector<Names> v;
        for (const AlarmRule &alarm : kAlarms)
            v.push_back({alarm.signal_id, alarm.text});
        return v;
    }();

    bool built[3] = {false, false, false};
    for (size_t i = 0; i < std::size(kAlarms); ++i) {
        const AlarmRule &alarm = kAlarms[i];
        const std::string &id = names[i].id;
        const int setting = alarm_settings[id]; // read with insertion
        if (setting == 0)
            continue;
        const float limit = alarm.limit_from_thresholds ? alarm_thresholds[id] : alarm.fixed_limit;
        const auto kind = static_cast<int>(alarm.detail);
        if (!built[kind]) {
            detail_text(alarm.detail, readings, alarm_texts[kind]);
            built[kind] = true;
        }
        CheckThresholdBool(setting, id, id, alarm_texts[kind], names[i].text,
                           alarm.active(readings, limit), 1);
    }
}
