// End-of-round work: refresh the data block, then, with the two-input alarm profile, report the
// state of each enabled alarm to the host. The driver keeps no alarm state: raising, clearing
// and delays are the host's.
//
// The profile: 2 once a complete AC analogue reply reports two or more inputs, and no later
// reply lowers it again (an alarm that is active when the reports stop would never be reported
// cleared). The device setting "alarm_profile" (0 or 2) fixes it instead, for plants whose
// alarms are evaluated elsewhere or that have a single input.
#include "mpx23/mpx23.h"
#include "protocol/identifiers.h"

#include <boost/lexical_cast.hpp>
#include <json/value.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

namespace {

constexpr int kNoChecksProfile = 0;
constexpr int kTwoInputProfile = 2;
constexpr size_t kCheckedInputs = 2;
constexpr float kOverVoltage = 280.0f;
constexpr float kUnderVoltage = 150.0f;  // also the power-failure limit
constexpr double kReadingPresent = 0.01; // a value the power system did not send is held as 0.0

// The readings of one evaluation. A plant may report fewer than two AC inputs: only the first
// `inputs` inputs are walked, so a missing input raises no alarm (its texts show 0).
struct Readings {
    float phase[6]; // ua ub uc of input 1, then of input 2
    float freq[2];
    float dc_voltage;
    size_t inputs; // 0 to 2
};

bool is_reading(float v) {
    return static_cast<double>(v) > kReadingPresent;
}

bool any_phase_above(const Readings &r, float limit) {
    for (size_t i = 0; i < 3 * r.inputs; ++i)
        if (r.phase[i] > limit)
            return true;
    return false;
}
bool any_phase_low(const Readings &r, float limit) {
    for (size_t i = 0; i < 3 * r.inputs; ++i)
        if (is_reading(r.phase[i]) && r.phase[i] < limit)
            return true;
    return false;
}
// Power failure: every phase of every input below the limit; without an input, no failure.
bool all_phases_below(const Readings &r, float limit) {
    if (r.inputs == 0)
        return false;
    for (size_t i = 0; i < 3 * r.inputs; ++i)
        if (!(r.phase[i] < limit))
            return false;
    return true;
}
bool any_freq_above(const Readings &r, float limit) {
    for (size_t i = 0; i < r.inputs; ++i)
        if (r.freq[i] > limit)
            return true;
    return false;
}
bool any_freq_low(const Readings &r, float limit) {
    for (size_t i = 0; i < r.inputs; ++i)
        if (is_reading(r.freq[i]) && r.freq[i] < limit)
            return true;
    return false;
}
bool dc_below(const Readings &r, float limit) {
    return r.dc_voltage < limit;
}
bool dc_above(const Readings &r, float limit) {
    return r.dc_voltage > limit;
}

enum class Detail { Voltages, Frequencies, DcVoltage };

struct AlarmRule {
    protocol::AlarmSignal signal;
    bool (*active)(const Readings &, float limit);
    bool limit_from_thresholds; // else the fixed limit
    float fixed_limit;
    Detail detail;
};

// Evaluated in this order, each enabled alarm reported once per round.
const AlarmRule kAlarms[] = {
    {protocol::alarm::kAcOverVoltage, any_phase_above, false, kOverVoltage, Detail::Voltages},
    {protocol::alarm::kAcUnderVoltage, any_phase_low, false, kUnderVoltage, Detail::Voltages},
    {protocol::alarm::kAcFailure, all_phases_below, false, kUnderVoltage, Detail::Voltages},
    {protocol::alarm::kAcFrequencyHigh, any_freq_above, true, 0.0f, Detail::Frequencies},
    {protocol::alarm::kAcFrequencyLow, any_freq_low, true, 0.0f, Detail::Frequencies},
    {protocol::alarm::kDcVoltageLow, dc_below, true, 0.0f, Detail::DcVoltage},
    {protocol::alarm::kDcVoltageVeryLow, dc_below, true, 0.0f, Detail::DcVoltage},
    {protocol::alarm::kDcVoltageHigh, dc_above, true, 0.0f, Detail::DcVoltage},
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

// Readings of the first two AC inputs as far as the plant reports them; 0 for a missing one.
Readings current_readings(const std::vector<mpx23_ac_channel> &inputs, float dc_voltage) {
    Readings r{};
    r.inputs = std::min(inputs.size(), kCheckedInputs);
    for (size_t i = 0; i < r.inputs; ++i) {
        const mpx23_ac_channel &in = inputs[i];
        r.phase[3 * i] = in.ua;
        r.phase[3 * i + 1] = in.ub;
        r.phase[3 * i + 2] = in.uc;
        r.freq[i] = in.f;
    }
    r.dc_voltage = dc_voltage;
    return r;
}

} // namespace

int MPX23::InitSetting(const Json::Value &settings) {
    int32_t profile = -1; // not set: the AC inputs choose
    if (settings.isObject() && settings.isMember("alarm_profile")) {
        const Json::Value &value = settings["alarm_profile"];
        if (!value.isIntegral() ||
            (value.asDouble() != kNoChecksProfile && value.asDouble() != kTwoInputProfile)) {
            InfoLog("PMBusPower:SettingError {} alarm_profile: expected 0 or 2", data_id);
            return 0; // nothing taken, the engine's settings included
        }
        profile = value.asInt();
    }
    const int result = Base::InitSetting(settings);
    if (result != 1)
        return result;
    alarm_profile_fixed = profile >= 0;
    if (profile == kNoChecksProfile)
        set_alarm_profile(profile, "PMBusPower:AlarmProfile {} set to 0 by the device settings");
    else if (profile == kTwoInputProfile)
        set_alarm_profile(profile, "PMBusPower:AlarmProfile {} set to 2 by the device settings");
    return result;
}

// Every change of the profile goes to the log once; setting the profile it already has is no
// change.
void MPX23::set_alarm_profile(int32_t profile, const char *log_line) {
    if (alarm_profile == profile)
        return;
    alarm_profile = profile;
    InfoLog(log_line, data_id);
}

// Called for every complete AC analogue reply.
void MPX23::ac_inputs_reported(unsigned inputs) {
    if (!alarm_profile_fixed && inputs >= kCheckedInputs)
        set_alarm_profile(kTwoInputProfile,
                          "PMBusPower:AlarmProfile {} set to 2: the AC distribution reports two "
                          "or more inputs");
}

void MPX23::RunCheckThreshold() {
    refresh_block();
    if (alarm_profile != kTwoInputProfile)
        return;
    const Readings readings = current_readings(ac_channels, dcData.voltage);

    // The identifiers and texts as strings, made once: the host takes them by reference.
    struct Names {
        std::string id, text;
    };
    static const std::vector<Names> names = [] {
        std::vector<Names> v;
        for (const AlarmRule &alarm : kAlarms)
            v.push_back({alarm.signal.id, alarm.signal.text});
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
