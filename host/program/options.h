// What the reference host is asked to do: the devices it polls (from the command line or a
// JSON configuration file) and the program's own options.
#pragma once

#include "host/common/device_config.h"
#include "host/http/http_options.h"
#include "host/mqtt/mqtt_options.h"
#include "host/stores/history_filter.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct Options {
    enum class Mode { Run, Demo, History, Help, Version, CaptureShow, List, MqttForget, Status };
    Mode mode = Mode::Run;
    std::string plugin; // empty: the plug-in built or installed with the program
    std::vector<DeviceConfig> devices;
    std::string history;          // SQLite file; empty: no history
    bool history_recover = false; // a damaged history file is moved aside, not fatal
    unsigned retention = 10000;
    double history_commit = 300.0; // seconds a block may wait for its commit; 0: none
    unsigned rounds = 0;           // completed rounds per device before stopping; 0: until a signal
    std::optional<std::string> get, set, control;
    std::optional<uint32_t> target; // the data_id the one-shot requests go to; unset: every device
    bool all_modules = false;       // --control may switch every module off
    bool force = false; // --set outside the plausible range, --control to a module not there
    // A request a safeguard refused: nothing is polled, the refusal is recorded and told.
    struct Refused {
        bool set = false;
        std::string request; // the raw form, as the driver would have been handed it
        std::string reason;
    };
    std::optional<Refused> refused;
    bool json = false;
    bool quiet = false;           // no line per round
    bool csv = false;             // history: comma-separated values
    bool alarms = false;          // history: the alarm transitions instead of the blocks
    bool requests = false;        // history: the control requests instead of the blocks
    HistoryFilter history_filter; // history: the rows listed
    bool verbose = false;
    std::string driver_log = "/dev/null";
    // Line capture: the file every byte on every line goes to (empty: none), and its size
    // before it rotates to FILE.1. With "capture show FILE": the file shown.
    std::string capture;
    uint64_t capture_max = 16u << 20;
    MqttOptions mqtt;
    HttpOptions http;
    // The system's SNMP agent to join as an AgentX subagent: its socket, "" for the library's
    // default; none: no SNMP.
    std::optional<std::string> agentx;
    // The control socket: where this host listens, or the one a client asks; empty: the run
    // folder's (a client: every running host's there).
    std::string socket;
};

} // namespace host
