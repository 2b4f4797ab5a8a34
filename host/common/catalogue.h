// What the host calls the driver's identifiers: a name an operator can type, a title to read,
// the unit, and for settings the range a healthy 48 V plant stays in. The identifiers and codes
// themselves are the driver's (protocol/identifiers.h); each row here points at one of them.
#pragma once

#include "protocol/identifiers.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace host::catalogue {

// A parameter a setting (code 310) can change.
struct Parameter {
    const char *name;      // "float-voltage"
    const char *signal_id; // "4196A3201001"
    const char *title;
    const char *unit;
    double low, high; // plausible range; outside it a set needs --force
};

inline constexpr Parameter kParameters[] = {
    {"float-voltage", "4196A3201001", "float charge voltage", "V", 42.0, 58.0},
    {"equalise-voltage", "4196A3101001", "equalise charge voltage", "V", 42.0, 60.0},
    {"temperature-compensation", "4196A3301001", "battery temperature compensation", "mV/°C", -10.0,
     0.0},
};

// A remote control (code 320).
struct Control {
    const char *name;       // "module-off"
    const char *command_id; // "419500200": the request is this, then the module address
    const char *title;
    bool takes_module; // else it goes to every module (address 0)
};

inline constexpr Control kControls[] = {
    {"module-on", "419500201", "switch a rectifier module on", true},
    {"module-off", "419500200", "switch a rectifier module off", true},
    {"float", "419500601", "float charge", false},
    {"equalise", "419500600", "equalise charge", false},
    {"test", "419500602", "battery test", false},
};

// The remote control that leaves a site on its batteries when sent to module 0.
inline constexpr const char *kModuleOffCommand = "419500200";

// The limit an alarm is checked against when the configuration names none.
struct DefaultLimit {
    bool fixed;     // the driver's own limit; the configured threshold is not used
    double at_50hz; // at 50 Hz mains
    double at_60hz; // at 60 Hz mains
    const char *unit;
};

// An alarm the driver reports.
struct Alarm {
    const protocol::AlarmSignal &signal; // identifier and the driver's text
    const char *name;                    // English name
    DefaultLimit limit;
};

inline constexpr Alarm kAlarms[] = {
    {protocol::alarm::kAcOverVoltage, "AC input over-voltage", {true, 280.0, 280.0, "V"}},
    {protocol::alarm::kAcUnderVoltage, "AC input under-voltage", {true, 150.0, 150.0, "V"}},
    {protocol::alarm::kAcFailure, "AC input power failure", {true, 150.0, 150.0, "V"}},
    {protocol::alarm::kAcFrequencyHigh, "AC input frequency high", {false, 55.0, 66.0, "Hz"}},
    {protocol::alarm::kAcFrequencyLow, "AC input frequency low", {false, 45.0, 54.0, "Hz"}},
    {protocol::alarm::kDcVoltageLow, "DC voltage low", {false, 47.0, 47.0, "V"}},
    {protocol::alarm::kDcVoltageVeryLow, "DC voltage very low", {false, 45.0, 45.0, "V"}},
    {protocol::alarm::kDcVoltageHigh, "DC voltage high", {false, 57.6, 57.6, "V"}},
};

// The values the driver itself answers (Get_Value).
struct DriverValue {
    const char *name;
    const char *title;
    const char *unit;
};

inline constexpr DriverValue kDriverValues[] = {
    {"out_v", "DC output voltage", "V"},
    {"ac", "AC input outage: 1 when every phase of the first two inputs is below 150 V", ""},
};

// The host's own alarm per rectifier module, raised while the module's status says it has failed
// (its fault byte not 0). Its identifier is the host's, "host.module2.fault", outside the
// driver's identifiers (twelve hexadecimal digits), so that neither can ever take the other's.
std::string module_fault_id(size_t module);
// The module (from 1) of a module fault identifier; 0 for any other identifier.
size_t module_of_alarm(std::string_view signal_id);
// "Rectifier module 2 fault": its English name and its text alike.
std::string module_fault_name(size_t module);

// Lookups; nullptr when nothing has that name or identifier.
const Parameter *parameter_named(std::string_view name);
const Parameter *parameter_with_id(std::string_view signal_id);
const Control *control_named(std::string_view name);
const Control *control_with_id(std::string_view command_id);
const Alarm *alarm_with_id(std::string_view signal_id);
// An alarm's default limit with its unit, "57.6 V".
std::string limit_text(const Alarm &alarm, unsigned mains_frequency = 50);
// The English name of an alarm, or "" for an identifier the host does not know.
std::string alarm_name(std::string_view signal_id);

} // namespace host::catalogue
