// One configured device as every part of the host sees it: where it is reached, its settings,
// its timing and its alarm configuration. Filled in by the command line or the configuration
// file, read by the line, the polling core and the outputs.
#pragma once

#include <json/value.h>

#include "host/common/errors.h"
#include <cstdint>
#include <map>
#include <optional>

#include <stdexcept>
#include <string>

namespace host {

// Where a device is reached.
struct PortLocation {
    enum class Kind { Serial, Tcp, Sim };
    Kind kind = Kind::Sim;
    std::string path; // serial device path, or the host name of a serial server
    uint16_t tcp_port = 0;
};

// Parses "sim", "tcp:HOST:PORT" or a serial device path; throws ConfigError saying what was
// expected (the caller adds whose value it was).
PortLocation parse_port(const std::string &text);

// What a device without a port is told.
constexpr const char *kPortMissing =
    "missing: name the port the power system is on (a serial device, best by a stable name such "
    "as /dev/serial/by-id/..., or tcp:HOST:PORT), or \"sim\" for the built-in simulator";

struct DeviceConfig {
    std::string port = "sim";
    PortLocation port_location;
    Json::Value settings{Json::objectValue}; // handed to the device's Init unchanged
    uint32_t data_id = 1;
    double interval = 5.0;         // seconds from the start of one round to the next
    std::optional<double> timeout; // reply timeout in seconds; unset: sized from the baud rate
    unsigned baud = 9600;
    // The alarms: all of the driver's on, at the catalogue's limits for the mains frequency,
    // unless `alarms` is false; the two maps override single alarms (a setting of 0: off).
    bool alarms = true;
    unsigned mains_frequency = 50; // 50 or 60 Hz
    std::map<std::string, int> alarm_settings;
    std::map<std::string, float> alarm_thresholds;
    std::string name; // what people call the power system ("Site 17"); empty: none given
    Json::Value sim;  // scenario of the built-in simulator (port "sim" only); null: none
    // How messages name this device's keys: "config: devices[0]" or "" (command line).
    std::string origin;

    double reply_timeout() const;
    // What the driver is given: the settings, with the two-input alarm profile when alarms are
    // on and the settings leave it open (a one-input plant would otherwise get none), and
    // every alarm's setting and threshold.
    Json::Value driver_settings() const;
    std::map<std::string, int> effective_alarm_settings() const;
    std::map<std::string, float> effective_alarm_thresholds() const;
    // The text that names `key` of this device in a message.
    std::string key_name(const std::string &key) const;
};

namespace catalogue {
struct Alarm;
}

// Where a threshold of an alarm means what the alarm says: a DC limit within a 48 V plant's bus
// voltages, a frequency limit on its side of the mains frequency.
struct ThresholdRange {
    double low, high;
    const char *unit;
    const char *meaning; // what the range is, for a refusal
};
// The range of `alarm` at the mains frequency; nullopt for an alarm with the driver's own fixed
// limit, which takes no threshold.
std::optional<ThresholdRange> threshold_range(const catalogue::Alarm &alarm,
                                              unsigned mains_frequency);

// The range every duration of the host is held to: shorter ones would spin the event loop,
// longer ones overflow the clock.
struct DurationRange {
    double low, high;
};
constexpr DurationRange kIntervalRange{0.001, 86400.0};
constexpr DurationRange kTimeoutRange{0.01, 3600.0};

} // namespace host
