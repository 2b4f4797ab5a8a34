// The identifiers the host names things by, and what the power system is sent for them: the
// parameters a setting (code 310) may change and the remote controls (code 320), each with the
// code its command carries in INFO byte 0; and the alarms the driver reports, each with its
// text. The identifiers and texts are the host's and the site's: they keep their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace protocol {

// INFO byte 0 of a parameter setting (DC distribution, 0x42/0x49): the parameter.
namespace parameter {
constexpr uint8_t kFloatVoltage = 0x84;
constexpr uint8_t kEqualiseVoltage = 0x85;
constexpr uint8_t kTemperatureCompensation = 0x98;
} // namespace parameter

// INFO byte 0 of a rectifier remote control (0x41/0x45): what the modules are told.
namespace remote {
constexpr uint8_t kModuleOn = 0x20;
constexpr uint8_t kModuleOff = 0x2F;
constexpr uint8_t kFloatCharge = 0x10;
constexpr uint8_t kEqualiseCharge = 0x1F;
constexpr uint8_t kBatteryTest = 0x11;
} // namespace remote

// An identifier of the host's and the code the command carries for it.
struct IdentifiedCode {
    const char *id;
    uint8_t code;
};

// The "signal_id" of a parameter setting.
inline constexpr IdentifiedCode kParameterIds[] = {
    {"4196A3201001", parameter::kFloatVoltage},
    {"4196A3101001", parameter::kEqualiseVoltage},
    {"4196A3301001", parameter::kTemperatureCompensation},
};

// The identifier that opens a remote control request, before the module address.
constexpr size_t kControlIdLength = 9;
inline constexpr IdentifiedCode kControlIds[] = {
    {"419500201", remote::kModuleOn},    {"419500200", remote::kModuleOff},
    {"419500601", remote::kFloatCharge}, {"419500600", remote::kEqualiseCharge},
    {"419500602", remote::kBatteryTest},
};

template <size_t N>
constexpr const IdentifiedCode *find_code(const IdentifiedCode (&table)[N], std::string_view id) {
    for (const IdentifiedCode &entry : table)
        if (id == entry.id)
            return &entry;
    return nullptr;
}

// A request's identifier is taken as a whole: a control identifier of another length could
// never be told from the module address behind it.
constexpr bool control_ids_have_their_length() {
    for (const IdentifiedCode &entry : kControlIds)
        if (std::char_traits<char>::length(entry.id) != kControlIdLength)
            return false;
    return true;
}
static_assert(control_ids_have_their_length());

// An alarm as the host files it: identifier and text.
struct AlarmSignal {
    const char *id;
    const char *text;
};

namespace alarm {
inline constexpr AlarmSignal kAcOverVoltage{"220600120010", "001#48V直流系统交流输入电压过高告警"};
inline constexpr AlarmSignal kAcUnderVoltage{"220600130010", "001#48V直流系统交流输入电压过低告警"};
inline constexpr AlarmSignal kAcFailure{"220600140010", "001#48V直流系统交流输入停电告警"};
inline constexpr AlarmSignal kAcFrequencyHigh{"220600160010",
                                              "001#48V直流系统交流输入频率过高告警"};
inline constexpr AlarmSignal kAcFrequencyLow{"220600170010", "001#48V直流系统交流输入频率过低告警"};
inline constexpr AlarmSignal kDcVoltageLow{"210600320010", "48V直流系统直流总电压过低告警"};
inline constexpr AlarmSignal kDcVoltageVeryLow{"210600330010", "48V直流系统直流总电压超低告警"};
inline constexpr AlarmSignal kDcVoltageHigh{"210600340010", "直流总电压过高告警"};
} // namespace alarm

} // namespace protocol
