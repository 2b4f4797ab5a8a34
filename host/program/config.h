// What the reference host is asked to do: the devices it polls (from the command line or a
// JSON configuration file) and the program's own options.
#pragma once

#include "host/common/device_config.h"
#include "host/outputs/mqtt_options.h"

#include <json/value.h>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

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
