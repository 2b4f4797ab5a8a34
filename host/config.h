// What the reference host is asked to do: the devices it polls (from the command line or a
// JSON configuration file) and the program's own options.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

// A wrong option or configuration value; the message names it and is meant for the user.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where a device is reached.
struct PortLocation {
    enum class Kind { Serial, Tcp, Sim };
    Kind kind = Kind::Sim;
    std::string path; // serial device path, or the host name of a serial server
    uint16_t tcp_port = 0;
};

// Parses "sim", "tcp:HOST:PORT" or a serial device path; throws std::invalid_argument.
PortLocation parse_port(const std::string &text);

struct DeviceConfig {
    std::string port = "sim";
    PortLocation port_location;
    Json::Value settings{Json::objectValue}; // handed to the device's Init unchanged
    uint32_t data_id = 1;
    double interval = 5.0;         // seconds from the start of one round to the next
    std::optional<double> timeout; // reply timeout in seconds; unset: sized from the baud rate
    unsigned baud = 9600;
    std::map<std::string, int> alarm_settings;
    std::map<std::string, float> alarm_thresholds;
    Json::Value sim; // scenario of the built-in simulator (port "sim" only); null: none
    // How messages name this device's keys: "config: devices[0]" or "" (command line).
    std::string origin;

    double reply_timeout() const;
    // The text that names `key` of this device in a message.
    std::string key_name(const std::string &key) const;
};

// The reply timeout for a line speed: the wire time of the largest reply the driver expects,
// plus a margin for the power system's turnaround; never below half a second.
double default_timeout(unsigned baud);
// Seconds that `bytes` characters take on the line at `baud`.
double wire_seconds(size_t bytes, unsigned baud);
// The wire time of the largest reply the driver expects at `baud`.
double largest_reply_seconds(unsigned baud);
// How long the line must stay quiet after a failed exchange before the next command goes out:
// long enough for a late reply to start and finish, so that it cannot pass for the answer to
// the next command.
double quiet_guard(unsigned baud);

// The range every duration of the host is held to: shorter ones would spin the event loop,
// longer ones overflow the clock.
struct DurationRange {
    double low, high;
};
constexpr DurationRange kIntervalRange{0.001, 86400.0};
constexpr DurationRange kTimeoutRange{0.01, 3600.0};

// Publishing to an MQTT broker; off while `url` is empty.
struct MqttOptions {
    std::string url;               // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string ca_file;           // mqtts: the authority of the broker's certificate
    std::string user;              // empty: no login
    std::string password_file;     // its first line is the password
    std::string prefix;            // empty: mpx23/<host name>
    std::string client_id;         // empty: the prefix, '/' made '-'
    bool control = false;          // take set and control requests from the broker
    unsigned long backlog = 10000; // events kept while the broker is away; then the oldest go
    // Where each key came from, for messages: "--mqtt-user" or "config: mqtt.user".
    std::string origin;
};

// The most events a backlog may be told to keep.
constexpr unsigned long kLargestMqttBacklog = 1000000;

struct Options {
    enum class Mode { Run, Demo, History, Help, CaptureShow };
    Mode mode = Mode::Run;
    std::string plugin; // empty: the plug-in built beside the program
    std::vector<DeviceConfig> devices;
    std::string history;          // SQLite file; empty: no history
    bool history_recover = false; // a damaged history file is moved aside, not fatal
    unsigned retention = 10000;
    unsigned rounds = 0; // completed rounds per device before stopping; 0: until a signal
    std::optional<std::string> get, set, control;
    std::optional<uint32_t> target; // the data_id the one-shot requests go to; unset: every device
    bool json = false;
    bool csv = false;      // history: comma-separated values
    bool alarms = false;   // history: the alarm transitions instead of the blocks
    bool requests = false; // history: the control requests instead of the blocks
    bool verbose = false;
    std::string driver_log = "/dev/null";
    // Line capture: the file every byte on every line goes to (empty: none), and its size
    // before it rotates to FILE.1. With "capture show FILE": the file shown.
    std::string capture;
    uint64_t capture_max = 16u << 20;
    MqttOptions mqtt;
};

// Parses the arguments after the program name (a leading "history" selects the history
// subcommand). Throws ConfigError.
Options parse_command_line(const std::vector<std::string> &args);

// The devices of a configuration file's JSON document. Throws ConfigError.
// The devices of a configuration file's JSON document, and its "mqtt" object into `mqtt` when
// given. Throws ConfigError.
std::vector<DeviceConfig> parse_config(const Json::Value &root, MqttOptions *mqtt = nullptr);
std::vector<DeviceConfig> load_config_file(const std::string &path, MqttOptions *mqtt = nullptr);

// The form of the requests the driver takes, checked before anything is sent: a parameter
// setting {"signal_id": "ID", "SetValue": NUMBER} and a remote-control identifier with a module
// address ("419500200002").
bool is_set_request(const std::string &text);
bool is_control_request(const std::string &text);
extern const char *const kSetRequestForm;
extern const char *const kControlRequestForm;

std::string usage();

} // namespace host
