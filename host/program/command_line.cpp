#include "host/program/command_line.h"

#include "host/program/config_file.h"
#include "host/program/mqtt_keys.h"
#include "host/program/one_shot.h"
#include "host/program/values.h"
#include "host/stores/history_time.h"

#include <json/value.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <sstream>

namespace host {
namespace {

// The protocol version as given: plain digits are a number, anything else goes to the engine as
// text, which takes hexadecimal such as "0x21" and names what it rejects.
Json::Value setting_value(const std::string &text) {
    if (!text.empty() && text.size() <= 9 &&
        text.find_first_not_of("0123456789") == std::string::npos)
        return Json::Value(static_cast<Json::LargestInt>(std::stoll(text)));
    return Json::Value(text);
}

struct CommandLineState {
    Options options;
    // The broker's options as given, applied over the configuration file's.
    std::vector<std::pair<const MqttKey *, Json::Value>> mqtt_given;
    DeviceConfig device;
    std::string config_file;
    std::vector<std::string> device_options; // given, to reject them beside --config
    // Every option taken: none twice, and none that the mode cannot use.
    std::vector<std::string> given;
    bool rounds_given = false;
    std::string http_listen;           // --http, over the configuration file's
    std::optional<std::string> agentx; // --agentx, over the configuration file's
};

using OptionHandler = void (*)(CommandLineState &, const std::string &);

struct OptionSpec {
    const char *name;
    const char *value; // nullptr: a switch; "[VALUE]": a value that may be left out
    bool device;       // describes the single device of the command line
    const char *help;
    OptionHandler apply;
};

// The options that only store their text, or only switch something on.
template <auto member> void set_text(CommandLineState &s, const std::string &v) {
    s.options.*member = v;
}
template <bool Options::*member> void set_flag(CommandLineState &s, const std::string &) {
    s.options.*member = true;
}

const OptionSpec kOptions[] = {
    {"--port", "PORT", true,
     "serial device path (best /dev/serial/by-id/...), tcp:HOST:PORT (serial server), or sim "
     "(the built-in simulator)",
     [](CommandLineState &s, const std::string &v) {
         try {
             s.device.port_location = parse_port(v);
         } catch (const ConfigError &e) {
             throw ConfigError(std::string("--port: ") + e.what());
         }
         s.device.port = v;
     }},
    {"--address", "N", true, "device address 1..254 (default 1)",
     [](CommandLineState &s, const std::string &v) {
         s.device.settings["address"] = static_cast<Json::UInt>(to_whole(v, 1, 254, "--address"));
     }},
    {"--protocol-version", "V", true, "VER of every command, 0..255 or hex text (default 0x20)",
     [](CommandLineState &s, const std::string &v) {
         s.device.settings["protocol_version"] = setting_value(v);
     }},
    {"--data-id", "N", true, "data identifier of the device (default 1)",
     [](CommandLineState &s, const std::string &v) {
         s.device.data_id = static_cast<uint32_t>(to_whole(v, 0, 0xFFFFFFFFul, "--data-id"));
     }},
    {"--interval", "SECONDS", true,
     "start of one round to the start of the next, 0.001 to 86400 (default 5)",
     [](CommandLineState &s, const std::string &v) {
         s.device.interval = to_seconds(v, "--interval", kIntervalRange);
     }},
    {"--timeout", "SECONDS", true,
     "reply timeout, 0.01 to 3600 (default: sized from the baud rate, >= 0.5)",
     [](CommandLineState &s, const std::string &v) {
         s.device.timeout = to_seconds(v, "--timeout", kTimeoutRange);
     }},
    {"--baud", "N", true, "line speed of a serial port (default 9600)",
     [](CommandLineState &s, const std::string &v) {
         const auto baud = static_cast<unsigned>(to_whole(v, 1, 4000000, "--baud"));
         if (!known_baud(baud))
             throw ConfigError("--baud: expected one of " + baud_list());
         s.device.baud = baud;
     }},
    {"--no-alarms", nullptr, true, "report no alarm (default: all of the driver's alarms on)",
     [](CommandLineState &s, const std::string &) { s.device.alarms = false; }},
    {"--mains-frequency", "HZ", true, "50 or 60: the frequency alarms' limits (default 50)",
     [](CommandLineState &s, const std::string &v) {
         const auto hz = static_cast<unsigned>(to_whole(v, 50, 60, "--mains-frequency"));
         if (hz != 50 && hz != 60)
             throw ConfigError("--mains-frequency: expected 50 or 60");
         s.device.mains_frequency = hz;
     }},
    {"--config", "FILE", false, "devices from a JSON file instead of the options above",
     [](CommandLineState &s, const std::string &v) { s.config_file = v; }},
    {"--plugin", "PATH", false,
     "the driver plug-in (default: the one built or installed with the program)",
     set_text<&Options::plugin>},
    {"--history", "FILE", false, "SQLite file of blocks and alarms; restores the cache at start",
     set_text<&Options::history>},
    {"--history-recover", nullptr, false,
     "move a damaged history file aside (FILE.damaged-TIME) and start a new one",
     set_flag<&Options::history_recover>},
    {"--retention", "N", false, "blocks kept per device in the history (default 10000)",
     [](CommandLineState &s, const std::string &v) {
         s.options.retention = static_cast<unsigned>(to_whole(v, 1, 100000000, "--retention"));
     }},
    {"--history-commit", "SECONDS", false,
     "longest a block waits to be written to the history: what a crash may lose (default 300; 0: "
     "every block at once)",
     [](CommandLineState &s, const std::string &v) {
         s.options.history_commit = to_seconds(v, "--history-commit", {0.0, 3600.0});
     }},
    {"--rounds", "N", false, "stop after N completed rounds per device (0: run until a signal)",
     [](CommandLineState &s, const std::string &v) {
         s.options.rounds = static_cast<unsigned>(to_whole(v, 0, 100000000, "--rounds"));
         s.rounds_given = true;
     }},
    {"--get", "NAME", false,
     "print the value NAME after the first completed round (names: mpx23-host list)",
     set_text<&Options::get>},
    {"--set", "NAME=VALUE", false,
     "parameter setting after the first completed round: float-voltage=53.5, or the raw "
     "{\"signal_id\": \"ID\", \"SetValue\": NUMBER}",
     set_text<&Options::set>},
    {"--control", "NAME[:N]", false,
     "remote control after the first completed round: module-off:2, module-on:2, float, "
     "equalise, test, or the raw 419500200002",
     set_text<&Options::control>},
    {"--all-modules", nullptr, false,
     "confirms a --control that switches off every module (module-off:0)",
     set_flag<&Options::all_modules>},
    {"--force", nullptr, false,
     "confirms a --set outside the parameter's plausible range, or a --control to a module the "
     "power system does not have",
     set_flag<&Options::force>},
    {"--device", "DATA_ID", false,
     "the one device (by data_id) that --get, --set or --control go to, or that history lists "
     "(default: every device)",
     [](CommandLineState &s, const std::string &v) {
         s.options.target = static_cast<uint32_t>(to_whole(v, 0, 0xFFFFFFFFul, "--device"));
     }},
    {"--json", nullptr, false, "one JSON object per line instead of the table",
     set_flag<&Options::json>},
    {"--quiet", nullptr, false,
     "no line per round: alarms, requests and the line's events only (for a system log); with "
     "--get, the value alone (also -q)",
     set_flag<&Options::quiet>},
    {"--socket", "PATH", false,
     "the control socket to listen at (default: RUN_FOLDER/mpx23-host.PID.sock), or to ask",
     set_text<&Options::socket>},
    {"--csv", nullptr, false, "history: comma-separated values", set_flag<&Options::csv>},
    {"--alarms", nullptr, false, "history: the stored alarm transitions",
     set_flag<&Options::alarms>},
    {"--requests", nullptr, false, "history: the control requests, their source and outcome",
     set_flag<&Options::requests>},
    {"--since", "TIME", false,
     "history: rows stored at or after TIME (2026-12-08, 2026-12-08T14:00, with Z or +01:00; "
     "or back from now: 90m, 2h, 7d)",
     [](CommandLineState &s, const std::string &v) {
         s.options.history_filter.since = history_time(v, "--since", std::time(nullptr));
     }},
    {"--until", "TIME", false, "history: rows stored before TIME",
     [](CommandLineState &s, const std::string &v) {
         s.options.history_filter.until = history_time(v, "--until", std::time(nullptr));
     }},
    {"--last", "N", false, "history: the newest N rows of the selection, oldest first",
     [](CommandLineState &s, const std::string &v) {
         s.options.history_filter.last = static_cast<unsigned>(to_whole(v, 1, 100000000, "--last"));
     }},
    {"--verbose", nullptr, false, "the driver's own diagnostic lines on standard output",
     set_flag<&Options::verbose>},
    {"--driver-log", "FILE", false, "file for the driver's diagnostic lines (default /dev/null)",
     set_text<&Options::driver_log>},
    // Line capture.
    {"--capture", "FILE", false, "append every byte sent and received on every line to FILE",
     set_text<&Options::capture>},
    {"--capture-max", "BYTES", false,
     "capture size before FILE moves to FILE.1 and a new one starts (default 16777216)",
     [](CommandLineState &s, const std::string &v) {
         s.options.capture_max = to_whole(v, 4096, 0xFFFFFFFFul, "--capture-max");
     }},
    {"--http", "[ADDRESS:]PORT", false,
     "serve /metrics, a live page and /api/ on PORT (loopback unless an ADDRESS is named)",
     [](CommandLineState &s, const std::string &v) { s.http_listen = v; }},
    {"--agentx", "[SOCKET]", false,
     "join the system's SNMP agent as an AgentX subagent (SOCKET: net-snmp's own by default)",
     [](CommandLineState &s, const std::string &v) { s.agentx = v; }},
    {"--demo", nullptr, false, "poll the built-in simulator through a mains failure and back",
     [](CommandLineState &s, const std::string &) { s.options.mode = Options::Mode::Demo; }},
    {"--help", nullptr, false, "this text (also -h)",
     [](CommandLineState &s, const std::string &) { s.options.mode = Options::Mode::Help; }},
    {"--version", nullptr, false, "the program's name and version",
     [](CommandLineState &s, const std::string &) { s.options.mode = Options::Mode::Version; }},
};

// What the history listing takes; every other option is refused beside it.
const char *const kListingOptions[] = {"--history", "--json",  "--csv",   "--alarms", "--requests",
                                       "--device",  "--since", "--until", "--last"};
// What only the history listing takes.
const char *const kListingOnlyOptions[] = {"--csv",   "--alarms", "--requests",
                                           "--since", "--until",  "--last"};

template <size_t N> bool listed(const char *const (&names)[N], const std::string &name) {
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

const OptionSpec *find_option(const std::string &name) {
    auto found = std::find_if(std::begin(kOptions), std::end(kOptions),
                              [&](const OptionSpec &o) { return name == o.name; });
    return found == std::end(kOptions) ? nullptr : found;
}

void check_combination(const CommandLineState &s) {
    const Options &o = s.options;
    if (!s.config_file.empty() && !s.device_options.empty())
        throw ConfigError(s.device_options.front() + ": not together with --config");
    if (o.mode == Options::Mode::History) {
        for (const auto &name : s.given)
            if (!listed(kListingOptions, name))
                throw ConfigError(name + ": not for the history subcommand");
        if (o.history.empty())
            throw ConfigError("history: --history FILE is required");
        if (o.csv && o.json)
            throw ConfigError("history: choose --csv or --json");
        if (o.alarms && o.requests)
            throw ConfigError("history: choose --alarms or --requests");
        return;
    }
    for (const auto &name : s.given)
        if (listed(kListingOnlyOptions, name))
            throw ConfigError(name + ": only for the history subcommand");
    if (o.target && !o.get && !o.set && !o.control)
        throw ConfigError("--device: only with --get, --set or --control");
    if (o.mode == Options::Mode::Demo && (!s.config_file.empty() || !s.device_options.empty()))
        throw ConfigError("--demo: brings its own device; leave out --config and " +
                          (s.device_options.empty() ? std::string("--port") : s.device_options[0]));
}

// Takes the option at args[i] with its value; returns the index of the last argument used.
// An empty file name would be taken for one: SQLite, say, makes an empty history path a
// temporary database that is gone at the end of the run.
void check_path(const std::string &option, const char *value_name, const std::string &value) {
    const std::string kind = value_name ? value_name : "";
    if (value.empty() && (kind == "FILE" || kind == "PATH"))
        throw ConfigError(option + ": expected a file name, not an empty text");
}

size_t take_option(CommandLineState &s, const std::vector<std::string> &args, size_t i) {
    // Given twice, one of them would be dropped without a word: which one was meant?
    const std::string name = args[i] == "-h" ? "--help" : args[i] == "-q" ? "--quiet" : args[i];
    if (std::find(s.given.begin(), s.given.end(), name) != s.given.end())
        throw ConfigError(args[i] + ": given twice");
    s.given.push_back(name);
    if (i + 1 < args.size()) {
        const MqttKey *key = find_mqtt_option(args[i]);
        const OptionSpec *option = find_option(args[i]);
        check_path(args[i], key ? key->value : option ? option->value : nullptr, args[i + 1]);
    }
    if (const MqttKey *key = find_mqtt_option(args[i])) {
        const bool takes = key->value_optional
                               ? i + 1 < args.size() && optional_value_given(*key, args[i + 1])
                               : key->value != nullptr;
        if (takes && i + 1 >= args.size())
            throw ConfigError(args[i] + ": needs a value (" + key->value + ")");
        s.mqtt_given.push_back({key, mqtt_option_value(*key, takes ? args[++i] : "")});
        return i;
    }
    const OptionSpec *option = find_option(s.given.back());
    if (!option)
        throw ConfigError("unknown option " + args[i] + " (see --help)");
    std::string value;
    const std::string form = option->value ? option->value : "";
    const bool may_leave_out = form.size() > 2 && form.front() == '[' && form.back() == ']';
    if (may_leave_out) {
        if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-')
            value = args[++i];
    } else if (option->value) {
        if (i + 1 >= args.size())
            throw ConfigError(args[i] + ": needs a value (" + option->value + ")");
        value = args[++i];
    }
    if (option->device)
        s.device_options.push_back(option->name);
    option->apply(s, value);
    return i;
}

// SNMP is a part a build may leave out: asked of one without it, the run would go on with a
// silent NOC.
void check_snmp(const Options &o) {
#ifndef MPX23_HOST_SNMP
    if (o.agentx)
        throw ConfigError("--agentx, \"snmp\": this mpx23-host was built without SNMP");
#else
    (void)o;
#endif
}

// What the options add up to once all are read: the devices, the broker and the rounds.
Options complete(CommandLineState &s) {
    Options &o = s.options;
    check_combination(s);
    check_requests(o);
    if (o.mode == Options::Mode::History)
        o.history_filter.data_id = o.target;
    if (o.mode == Options::Mode::Run) {
        if (s.config_file.empty() &&
            std::find(s.given.begin(), s.given.end(), "--port") == s.given.end())
            throw ConfigError(std::string("--port: ") + kPortMissing +
                              "; or --config FILE, or "
                              "--demo");
        o.devices = s.config_file.empty()
                        ? std::vector<DeviceConfig>{s.device}
                        : load_config_file(s.config_file, &o.mqtt, &o.http, &o.agentx);
        check_target(o);
    }
    for (const auto &[key, value] : s.mqtt_given)
        key->parse(o.mqtt, value, key->option);
    if (!s.http_listen.empty())
        o.http.listen = s.http_listen;
    if (s.agentx)
        o.agentx = s.agentx;
    check_snmp(o);
    if (o.mode == Options::Mode::Run || o.mode == Options::Mode::Demo)
        check_mqtt(o.mqtt);
    // A one-shot operation ends the run once it is done, unless told to go on.
    if (!s.rounds_given && (o.get || o.set || o.control))
        o.rounds = 1;
    if (!s.rounds_given && o.mode == Options::Mode::Demo)
        o.rounds = 25;
    return o;
}

// "mqtt-forget --config FILE DATA_ID": the broker's keys from the file, or the options.
Options parse_forget(const std::vector<std::string> &args) {
    CommandLineState s;
    s.options.mode = Options::Mode::MqttForget;
    const std::string form = "mqtt-forget: expected mpx23-host mqtt-forget --config FILE DATA_ID";
    for (size_t i = 1; i < args.size(); ++i) {
        if (!args[i].empty() && args[i][0] != '-' && !s.options.target)
            s.options.target =
                static_cast<uint32_t>(to_whole(args[i], 0, 0xFFFFFFFFul, "mqtt-forget: DATA_ID"));
        else
            i = take_option(s, args, i);
    }
    for (const auto &name : s.given)
        if (name != "--config" && !find_mqtt_option(name))
            throw ConfigError("mqtt-forget: " + name + ": not for this subcommand");
    if (s.config_file.empty() || !s.options.target)
        throw ConfigError(form);
    load_config_file(s.config_file, &s.options.mqtt);
    for (const auto &[key, value] : s.mqtt_given)
        key->parse(s.options.mqtt, value, key->option);
    if (s.options.mqtt.url.empty())
        throw ConfigError("mqtt-forget: the configuration names no broker (\"mqtt\": {\"url\"})");
    check_mqtt(s.options.mqtt);
    return s.options;
}

} // namespace

Options parse_command_line(const std::vector<std::string> &args) {
    CommandLineState s;
    size_t i = 0;
    if (!args.empty() && args[0] == "history") {
        s.options.mode = Options::Mode::History;
        ++i;
    }
    if (!args.empty() && args[0] == "list") {
        s.options.mode = Options::Mode::List;
        for (++i; i < args.size(); ++i)
            if (args[i] == "--json")
                s.options.json = true;
            else
                throw ConfigError("list: expected mpx23-host list [--json]");
        return s.options;
    }
    if (!args.empty() && args[0] == "mqtt-forget")
        return parse_forget(args);
    if (!args.empty() && args[0] == "status") {
        s.options.mode = Options::Mode::Status;
        for (++i; i < args.size(); ++i)
            if (args[i] == "--json")
                s.options.json = true;
            else if (args[i] == "--socket" && i + 1 < args.size())
                s.options.socket = args[++i];
            else
                throw ConfigError("status: expected mpx23-host status [--json] [--socket PATH]");
        return s.options;
    }
    if (!args.empty() && args[0] == "capture") {
        if (args.size() != 3 || args[1] != "show")
            throw ConfigError("capture: expected capture show FILE");
        s.options.mode = Options::Mode::CaptureShow;
        s.options.capture = args[2];
        return s.options;
    }
    for (; i < args.size(); ++i)
        i = take_option(s, args, i);
    const bool says_only =
        s.options.mode == Options::Mode::Help || s.options.mode == Options::Mode::Version;
    return says_only ? s.options : complete(s);
}

std::string usage() {
    std::ostringstream out;
    out << "usage: mpx23-host [options]\n"
           "       mpx23-host history --history FILE [--csv | --json] [--alarms | --requests]\n"
           "                  [--device DATA_ID] [--since TIME] [--until TIME] [--last N]\n"
           "       mpx23-host capture show FILE\n"
           "       mpx23-host list [--json]   the values, parameters, controls and alarms by name\n"
           "       mpx23-host status [--json] [--socket PATH]   every running host's devices\n"
           "       mpx23-host mqtt-forget --config FILE DATA_ID   a removed device's retained\n"
           "                  topics and discovery cleared from the broker\n"
           "Loads the mpx23 plug-in, polls its power systems and prints what they publish.\n\n";
    const auto line = [&out](const char *name, const char *value, const char *help) {
        std::string head = std::string("  ") + name + (value ? std::string(" ") + value : "");
        head += head.size() < 26 ? std::string(26 - head.size(), ' ') : "\n" + std::string(26, ' ');
        out << head << help << '\n';
    };
    for (const auto &o : kOptions)
        line(o.name, o.value, o.help);
    for (const auto &k : mqtt_keys())
        line(k.option, k.value, k.help);
    out << "\nConfiguration file: {\"devices\": [{\"port\": \"/dev/ttyS1\", \"data_id\": 1, "
           "\"settings\": {\"address\": 1},\n  \"interval\": 5, \"timeout\": 1, \"baud\": 9600, "
           "\"alarms\": true, \"mains_frequency\": 50,\n  \"alarm_settings\": {ID: 0}, "
           "\"alarm_thresholds\": {ID: 47}, \"sim\": {scenario "
           "of the built-in simulator}}],\n  \"mqtt\": {\"url\": URL, \"ca\", \"user\", "
           "\"password_file\", "
           "\"prefix\", \"client_id\", \"control\": true, \"backlog\": N,\n  \"discovery\": true "
           "or PREFIX, \"values\": true,\n  \"heartbeat\": SECONDS, \"full_state\": true},\n  "
           "\"http\": "
           "{\"listen\": \"[ADDRESS:]PORT\", \"max_connections\": 16, \"timeout\": 10},\n  "
           "\"snmp\": {\"agentx\": true or SOCKET}};\n  a "
           "device may have a \"name\"\n"
           "Exit codes: 0 done, 1 the plug-in, a port or the history failed or a one-shot request "
           "went unanswered, 2 bad options, configuration or request.\n";
    return out.str();
}

} // namespace host
