// End-of-round work: refresh the data block, then, for a two-input power system, report the
// state of each enabled alarm to the host. The driver keeps no alarm state: raising, clearing
// and delays are the host's.
#include "mpx23/mpx23.h"

#include <boost/lexical_cast.hpp>

#include <sstream>

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

std::string voltage_text(const Readings &r) {
    std::ostringstream s;
    s << "ua1:" << r.phase[0] << " ub1:" << r.phase[1] << " uc1:" << r.phase[2]
      << " ua2:" << r.phase[3] << " ub2:" << r.phase[4] << " uc2:" << r.phase[5];
    return s.str();
}

std::string frequency_text(const Readings &r) {
    std::ostringstream s;
    s << "f1:" << r.freq[0] << " f2:" << r.freq[1];
    return s.str();
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

    std::string texts[3];
    bool built[3] = {false, false, false};
    for (const AlarmRule &alarm : kAlarms) {
        const int setting = alarm_settings[alarm.signal_id]; // read with insertion
        if (setting == 0)
            continue;
        const float limit =
            alarm.limit_from_thresholds ? alarm_thresholds[alarm.signal_id] : alarm.fixed_limit;
        const auto kind = static_cast<int>(alarm.detail);
        if (!built[kind]) {
            texts[kind] = alarm.detail == Detail::Voltages ? voltage_text(readings)
                          : alarm.detail == Detail::Frequencies
                              ? frequency_text(readings)
                              : boost::lexical_cast<std::string>(readings.dc_voltage);
            built[kind] = true;
        }
        CheckThresholdBool(setting, alarm.signal_id, alarm.signal_id, texts[kind], alarm.text,
                           alarm.active(readings, limit), 1);
    }
}
