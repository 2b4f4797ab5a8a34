#include "host/program/config.h"

#include "host/outputs/mqtt_client.h"
#include "hostlib/frame_codec.h"
#include "sim/options.h"

#include <json/reader.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace host {
namespace {

// Line speeds a serial port can be set to.
const unsigned kBaudRates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};


std::string baud_list() {
    std::string out;
    for (unsigned b : kBaudRates)
        out += (out.empty() ? "" : ", ") + std::to_string(b);
    return out;
}

bool known_baud(unsigned baud) {
    return std::find(std::begin(kBaudRates), std::end(kBaudRates), baud) != std::end(kBaudRates);
}

// ---- command-line values -------------------------------------------------------------------

unsigned long to_whole(const std::string &text, unsigned long low, unsigned long high,
                       const std::string &what) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v < low || v > high)
        throw ConfigError(what + ": expected a whole number from " + std::to_string(low) + " to " +
                          std::to_string(high));
    return static_cast<unsigned long>(v);
}

std::string range_text(const DurationRange &range) {
    char text[80];
    std::snprintf(text, sizeof text, "expected a number of seconds from %g to %g", range.low,
                  range.high);
    return text;
}

bool in_range(double v, const DurationRange &range) {
    return std::isfinite(v) && v >= range.low && v <= range.high;
}

double to_seconds(const std::string &text, const std::string &what, const DurationRange &range) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !in_range(v, range))
        throw ConfigError(what + ": " + range_text(range));
    return v;
}

// An engine setting given on the command line: a number when it reads as one, else the text
// (the engine also takes hex text such as "0x21" and names what it rejects).
Json::Value setting_value(const std::string &text) {
    char *end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0')
        return Json::Value(static_cast<Json::LargestInt>(v));
    return Json::Value(text);
}

// The broker's keys: the same in the configuration file's "mqtt" object and as options.
using MqttKeyParser = void (*)(MqttOptions &, const Json::Value &, const std::string &name);

std::string mqtt_text(const Json::Value &v, const std::string &name) {
    if (!v.isString() || v.asString().empty())
        throw ConfigError(name + ": expected a text");
    return v.asString();
}

// A topic prefix is levels of plain text: wildcards would subscribe to more than the host's own
// topics, and empty levels make topics no one means.
void parse_mqtt_prefix(MqttOptions &m, const Json::Value &v, const std::string &name) {
    const std::string prefix = mqtt_text(v, name);
    if (prefix.find_first_of("+#") != std::string::npos || prefix.front() == '/' ||
        prefix.back() == '/' || prefix.find("//") != std::string::npos || prefix.size() > 200)
        throw ConfigError(name + ": expected topic levels without + or # and without empty "
                                 "levels, as in mpx23/site-17");
    m.prefix = prefix;
}

void parse_mqtt_backlog(MqttOptions &m, const Json::Value &v, const std::string &name) {
    if (!v.isUInt() || v.asUInt() < 1 || v.asUInt() > kLargestMqttBacklog)
        throw ConfigError(name + ": expected a whole number from 1 to " +
                          std::to_string(kLargestMqttBacklog));
    m.backlog = v.asUInt();
}

struct MqttKey {
    const char *key;    // in the configuration file's "mqtt" object
    const char *option; // on the command line
    const char *value;  // what the option takes; nullptr: a switch
    const char *help;
    MqttKeyParser parse;
};

const MqttKey kMqttKeys[] = {
    {"url", "--mqtt", "URL", "publish state, alarms and events to mqtt://HOST[:PORT] or mqtts://",
     [](MqttOptions &m, const Json::Value &v, const std::string &name) {
         m.url = mqtt_text(v, name);
         try {
             parse_mqtt_url(m.url);
         } catch (const ConfigError &e) {
             throw ConfigError(name + std::string(e.what()).substr(std::strlen("--mqtt")));
         }
     }},
    {"ca", "--mqtt-ca", "FILE", "mqtts: the certificate authority of the broker's certificate",
     [](MqttOptions &m, const Json::Value &v, const std::string &name) {
         m.ca_file = mqtt_text(v, name);
     }},
    {"user", "--mqtt-user", "NAME", "the broker account",
     [](MqttOptions &m, const Json::Value &v, const std::string &name) {
         m.user = mqtt_text(v, name);
     }},
    {"password_file", "--mqtt-password-file", "FILE",
     "the file whose first line is the account's password",
     [](MqttOptions &m, const Json::Value &v, const std::string &name) {
         m.password_file = mqtt_text(v, name);
     }},
    {"prefix", "--mqtt-prefix", "TOPIC", "the topics' first levels (default mpx23/<host name>)",
     parse_mqtt_prefix},
    {"client_id", "--mqtt-client-id", "ID", "the client identifier (default: from the prefix)",
     [](MqttOptions &m, const Json::Value &v, const std::string &name) {
         m.client_id = mqtt_text(v, name);
     }},
    {"control", "--mqtt-control", nullptr, "take set and control requests from the broker",
     [](MqttOptions &m, const Json::Value &v, const std::string &name) {
         if (!v.isBool())
             throw ConfigError(name + ": expected true or false");
         m.control = v.asBool();
     }},
    {"backlog", "--mqtt-backlog", "N", "events kept while the broker is away (default 10000)",
     parse_mqtt_backlog},
};

// An option naming a broker key, or nullptr.
const MqttKey *find_mqtt_option(const std::string &name) {
    auto found = std::find_if(std::begin(kMqttKeys), std::end(kMqttKeys),
                              [&](const MqttKey &k) { return name == k.option; });
    return found == std::end(kMqttKeys) ? nullptr : found;
}

// The option's text as its configuration key holds it: a switch is true, a count a number.
Json::Value mqtt_option_value(const MqttKey &k, const std::string &text) {
    if (!k.value)
        return Json::Value(true);
    if (std::string(k.key) == "backlog")
        return Json::Value(
            static_cast<Json::UInt>(to_whole(text, 1, kLargestMqttBacklog, k.option)));
    return Json::Value(text);
}

void parse_mqtt_config(MqttOptions &m, const Json::Value &v) {
    if (!v.isObject())
        throw ConfigError("config: mqtt: expected an object");
    for (const auto &key : v.getMemberNames()) {
        auto found = std::find_if(std::begin(kMqttKeys), std::end(kMqttKeys),
                                  [&](const MqttKey &k) { return key == k.key; });
        if (found == std::end(kMqttKeys))
            throw ConfigError("config: mqtt." + key + ": unknown key");
        found->parse(m, v[key], "config: mqtt." + key);
    }
}

// The broker's options only make sense with a broker, and a certificate authority only with
// TLS.
void check_mqtt(const MqttOptions &m) {
    if (m.url.empty()) {
        const bool any = !m.ca_file.empty() || !m.user.empty() || !m.password_file.empty() ||
                         !m.prefix.empty() || !m.client_id.empty() || m.control;
        if (any)
            throw ConfigError("--mqtt-*: only with --mqtt URL (or \"url\" in the mqtt object)");
        return;
    }
    if (!m.ca_file.empty() && !parse_mqtt_url(m.url).tls)
        throw ConfigError("--mqtt-ca: only with an mqtts:// URL");
    if (!m.password_file.empty() && m.user.empty())
        throw ConfigError("--mqtt-password-file: only with --mqtt-user");
}

struct CommandLineState {
    Options options;
    // The broker's options as given, applied over the configuration file's.
    std::vector<std::pair<const MqttKey *, Json::Value>> mqtt_given;
    DeviceConfig device;
    std::string config_file;
    std::vector<std::string> device_options; // given, to reject them beside --config
    bool rounds_given = false;
};

using OptionHandler = void (*)(CommandLineState &, const std::string &);

struct OptionSpec {
    const char *name;
    const char *value; // nullptr: a switch
    bool device;       // describes the single device of the command line
    const char *help;
    OptionHandler apply;
};

const OptionSpec kOptions[] = {
    {"--port", "PORT", true, "serial device path, tcp:HOST:PORT (serial server) or sim (default)",
     [](CommandLineState &s, const std::string &v) {
         try {
             s.device.port_location = parse_port(v);
         } catch (const std::invalid_argument &e) {
             throw ConfigError(std::string("--port: ") + e.what());
         }
         s.device.port = v;
     }},
    {"--address", "N", true, "device address 1..254 (default 1)",
     [](CommandLineState &s, const std::string &v) {
         s.device.settings["address"] = setting_value(v);
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
    {"--config", "FILE", false, "devices from a JSON file instead of the options above",
     [](CommandLineState &s, const std::string &v) { s.config_file = v; }},
    {"--plugin", "PATH", false, "the driver plug-in (default: mpx23.so built beside the program)",
     [](CommandLineState &s, const std::string &v) { s.options.plugin = v; }},
    {"--history", "FILE", false, "SQLite file of blocks and alarms; restores the cache at start",
     [](CommandLineState &s, const std::string &v) { s.options.history = v; }},
    {"--history-recover", nullptr, false,
     "move a damaged history file aside (FILE.damaged-TIME) and start a new one",
     [](CommandLineState &s, const std::string &) { s.options.history_recover = true; }},
    {"--retention", "N", false, "blocks kept per device in the history (default 10000)",
     [](CommandLineState &s, const std::string &v) {
         s.options.retention = static_cast<unsigned>(to_whole(v, 1, 100000000, "--retention"));
     }},
    {"--rounds", "N", false, "stop after N completed rounds per device (0: run until a signal)",
     [](CommandLineState &s, const std::string &v) {
         s.options.rounds = static_cast<unsigned>(to_whole(v, 0, 100000000, "--rounds"));
         s.rounds_given = true;
     }},
    {"--get", "NAME", false, "print the value NAME after the first completed round",
     [](CommandLineState &s, const std::string &v) { s.options.get = v; }},
    {"--set", "JSON", false, "parameter setting request after the first completed round",
     [](CommandLineState &s, const std::string &v) { s.options.set = v; }},
    {"--control", "TEXT", false, "remote control request after the first completed round",
     [](CommandLineState &s, const std::string &v) { s.options.control = v; }},
    {"--device", "DATA_ID", false,
     "the one device (by data_id) that --get, --set or --control go to (default: every device)",
     [](CommandLineState &s, const std::string &v) {
         s.options.target = static_cast<uint32_t>(to_whole(v, 0, 0xFFFFFFFFul, "--device"));
     }},
    {"--json", nullptr, false, "one JSON object per line instead of the table",
     [](CommandLineState &s, const std::string &) { s.options.json = true; }},
    {"--csv", nullptr, false, "history: comma-separated values",
     [](CommandLineState &s, const std::string &) { s.options.csv = true; }},
    {"--alarms", nullptr, false, "history: the stored alarm transitions",
     [](CommandLineState &s, const std::string &) { s.options.alarms = true; }},
    {"--requests", nullptr, false, "history: the control requests, their source and outcome",
     [](CommandLineState &s, const std::string &) { s.options.requests = true; }},
    {"--verbose", nullptr, false, "the driver's own diagnostic lines on standard output",
     [](CommandLineState &s, const std::string &) { s.options.verbose = true; }},
    {"--driver-log", "FILE", false, "file for the driver's diagnostic lines (default /dev/null)",
     [](CommandLineState &s, const std::string &v) { s.options.driver_log = v; }},
    // Line capture.
    {"--capture", "FILE", false, "append every byte sent and received on every line to FILE",
     [](CommandLineState &s, const std::string &v) { s.options.capture = v; }},
    {"--capture-max", "BYTES", false,
     "capture size before FILE moves to FILE.1 and a new one starts (default 16777216)",
     [](CommandLineState &s, const std::string &v) {
         s.options.capture_max = to_whole(v, 4096, 0xFFFFFFFFul, "--capture-max");
     }},
    {"--demo", nullptr, false, "poll the built-in simulator through a mains failure and back",
     [](CommandLineState &s, const std::string &) { s.options.mode = Options::Mode::Demo; }},
    {"--help", nullptr, false, "this text",
     [](CommandLineState &s, const std::string &) { s.options.mode = Options::Mode::Help; }},
};

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
        if (o.history.empty())
            throw ConfigError("history: --history FILE is required");
        if (o.csv && o.json)
            throw ConfigError("history: choose --csv or --json");
        if (o.alarms && o.requests)
            throw ConfigError("history: choose --alarms or --requests");
        return;
    }
    if (o.csv || o.alarms || o.requests)
        throw ConfigError(std::string(o.csv      ? "--csv"
                                      : o.alarms ? "--alarms"
                                                 : "--requests") +
                          ": only for the history subcommand");
    if (o.target && !o.get && !o.set && !o.control)
        throw ConfigError("--device: only with --get, --set or --control");
    if (o.mode == Options::Mode::Demo && (!s.config_file.empty() || !s.device_options.empty()))
        throw ConfigError("--demo: brings its own device; leave out --config and " +
                          (s.device_options.empty() ? std::string("--port") : s.device_options[0]));
}

// The form of a one-shot request is checked before any polling, so that a script learns of a
// mistake at once; which identifiers exist is the driver's to say.
bool is_number_text(const std::string &text) {
    char *end = nullptr;
    std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0';
}

void check_set_request(const std::string &text) {
    if (!is_set_request(text))
        throw ConfigError(std::string("--set: expected ") + kSetRequestForm);
}

void check_control_request(const std::string &text) {
    if (!is_control_request(text))
        throw ConfigError(std::string("--control: expected ") + kControlRequestForm);
}

void check_requests(const Options &o) {
    if (o.get && o.get->empty())
        throw ConfigError("--get: expected a value name");
    if (o.set)
        check_set_request(*o.set);
    if (o.control)
        check_control_request(*o.control);
}

// A request aimed at a device that is not configured would silently do nothing.
void check_target(const Options &o) {
    if (!o.target)
        return;
    const bool known = std::any_of(o.devices.begin(), o.devices.end(),
                                   [&](const DeviceConfig &d) { return d.data_id == *o.target; });
    if (!known)
        throw ConfigError("--device: no device with data_id " + std::to_string(*o.target));
}

// ---- configuration file --------------------------------------------------------------------

using KeyParser = void (*)(DeviceConfig &, const Json::Value &, const std::string &name);

[[noreturn]] void bad(const std::string &name, const std::string &what) {
    throw ConfigError(name + ": " + what);
}

void parse_port_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isString())
        bad(name, "expected a text");
    try {
        d.port_location = parse_port(v.asString());
    } catch (const std::invalid_argument &e) {
        bad(name, e.what());
    }
    d.port = v.asString();
}

// The device's settings (the protocol engine's two and the driver's one); a misspelled one would
// otherwise leave its default in force.
const char *const kEngineSettings[] = {"address", "protocol_version", "alarm_profile"};

void parse_settings_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isObject())
        bad(name, "expected an object");
    for (const auto &key : v.getMemberNames())
        if (std::find(std::begin(kEngineSettings), std::end(kEngineSettings), key) ==
            std::end(kEngineSettings))
            bad(name + "." + key, "unknown key (known: address, protocol_version, alarm_profile)");
    d.settings = v;
}

void parse_data_id_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isUInt())
        bad(name, "expected a whole number from 0 to 4294967295");
    d.data_id = v.asUInt();
}

double seconds_key(const Json::Value &v, const std::string &name, const DurationRange &range) {
    if (!v.isNumeric() || !in_range(v.asDouble(), range))
        bad(name, range_text(range));
    return v.asDouble();
}

void parse_interval_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    d.interval = seconds_key(v, name, kIntervalRange);
}

void parse_timeout_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    d.timeout = seconds_key(v, name, kTimeoutRange);
}

void parse_baud_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isUInt() || !known_baud(v.asUInt()))
        bad(name, "expected one of " + baud_list());
    d.baud = v.asUInt();
}

void parse_alarm_settings_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isObject())
        bad(name, "expected an object of alarm identifiers");
    for (const auto &id : v.getMemberNames()) {
        if (!v[id].isInt())
            bad(name + "." + id, "expected a whole number");
        d.alarm_settings[id] = v[id].asInt();
    }
}

void parse_alarm_thresholds_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isObject())
        bad(name, "expected an object of alarm identifiers");
    for (const auto &id : v.getMemberNames()) {
        if (!v[id].isNumeric())
            bad(name + "." + id, "expected a number");
        d.alarm_thresholds[id] = v[id].asFloat();
    }
}

void parse_sim_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    sim::Config probe;
    try {
        sim::load_scenario(probe, v);
        sim::check_fill_patterns(probe);
    } catch (const std::invalid_argument &e) {
        bad(name, e.what());
    }
    d.sim = v;
}

const std::pair<const char *, KeyParser> kDeviceKeys[] = {
    {"port", parse_port_key},
    {"settings", parse_settings_key},
    {"data_id", parse_data_id_key},
    {"interval", parse_interval_key},
    {"timeout", parse_timeout_key},
    {"baud", parse_baud_key},
    {"alarm_settings", parse_alarm_settings_key},
    {"alarm_thresholds", parse_alarm_thresholds_key},
    {"sim", parse_sim_key},
};

DeviceConfig parse_device(const Json::Value &v, const std::string &origin) {
    if (!v.isObject())
        bad(origin, "expected an object");
    DeviceConfig d;
    d.origin = origin;
    for (const auto &key : v.getMemberNames()) {
        auto parser = std::find_if(std::begin(kDeviceKeys), std::end(kDeviceKeys),
                                   [&](const auto &k) { return key == k.first; });
        if (parser == std::end(kDeviceKeys))
            bad(d.key_name(key), "unknown key");
        parser->second(d, v[key], d.key_name(key));
    }
    if (!d.sim.isNull() && d.port_location.kind != PortLocation::Kind::Sim)
        bad(d.key_name("sim"), "only for the port \"sim\" or \"sim:NAME\"");
    return d;
}

} // namespace

const char *const kSetRequestForm = "{\"signal_id\": \"ID\", \"SetValue\": NUMBER}";
const char *const kControlRequestForm =
    "a command identifier of 9 characters and a module address 0 to 255, as in 419500200002";

bool is_set_request(const std::string &text) {
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 8;
    Json::Value v;
    bool parsed = false;
    try {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        parsed = reader->parse(text.data(), text.data() + text.size(), &v, nullptr);
    } catch (const std::exception &) {
    }
    return parsed && v.isObject() && v["signal_id"].isString() &&
           !v["signal_id"].asString().empty() &&
           (v["SetValue"].isNumeric() ||
            (v["SetValue"].isString() && is_number_text(v["SetValue"].asString())));
}

bool is_control_request(const std::string &text) {
    constexpr size_t kIdentifier = 9, kLongest = 12;
    const auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    const std::string module = text.size() > kIdentifier ? text.substr(kIdentifier) : "";
    return text.size() > kIdentifier && text.size() <= kLongest &&
           std::all_of(text.begin(), text.begin() + kIdentifier, alnum) &&
           std::all_of(module.begin(), module.end(), digit) && std::stoi(module) <= 255;
}

std::vector<DeviceConfig> parse_config(const Json::Value &root, MqttOptions *mqtt) {
    if (!root.isObject())
        bad("config", "expected a JSON object with \"devices\"");
    for (const auto &key : root.getMemberNames())
        if (key != "devices" && key != "mqtt")
            bad("config: " + key, "unknown key");
    if (root.isMember("mqtt")) {
        MqttOptions parsed;
        parse_mqtt_config(parsed, root["mqtt"]);
        if (mqtt)
            *mqtt = parsed;
    }
    const Json::Value &list = root["devices"];
    if (!list.isArray() || list.empty())
        bad("config: devices", "expected a list of at least one device");
    std::vector<DeviceConfig> devices;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const std::string origin = "config: devices[" + std::to_string(i) + "]";
        devices.push_back(parse_device(list[i], origin));
        for (Json::ArrayIndex j = 0; j < i; ++j)
            if (devices[j].data_id == devices[i].data_id)
                bad(origin + ".data_id", "already used by devices[" + std::to_string(j) + "]");
        // Devices on one port share its line: two at one address would answer each other's
        // commands.
        auto address = [](const DeviceConfig &d) {
            const Json::Value &a = d.settings["address"];
            return a.isUInt() ? a.asUInt() : 1u;
        };
        for (Json::ArrayIndex j = 0; j < i; ++j)
            if (devices[j].port == devices[i].port && address(devices[j]) == address(devices[i]))
                bad(origin + ".settings.address", "address " + std::to_string(address(devices[i])) +
                                                      " already used on " + devices[i].port +
                                                      " by devices[" + std::to_string(j) + "]");
    }
    return devices;
}

// A configuration is a few kilobytes; reading stops well beyond that (a device file such as
// /dev/zero never ends). Nesting deeper than any configuration needs is refused by the reader.
constexpr std::streamsize kLargestConfig = 1 << 20;
constexpr int kDeepestConfig = 64;

std::string read_config_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ConfigError("config: cannot read " + path);
    std::string text(static_cast<size_t>(kLargestConfig) + 1, '\0');
    in.read(&text[0], kLargestConfig + 1);
    if (in.bad())
        throw ConfigError("config: cannot read " + path);
    if (in.gcount() > kLargestConfig)
        throw ConfigError("config: " + path + ": larger than " + std::to_string(kLargestConfig) +
                          " bytes");
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

std::vector<DeviceConfig> load_config_file(const std::string &path, MqttOptions *mqtt) {
    const std::string text = read_config_text(path);
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = kDeepestConfig;
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const std::exception &e) { // the reader throws when nesting passes its limit
        errors = e.what();
    }
    if (!parsed) {
        std::replace(errors.begin(), errors.end(), '\n', ' ');
        throw ConfigError("config: " + path + ": not valid JSON: " + errors);
    }
    return parse_config(root, mqtt);
}

Options parse_command_line(const std::vector<std::string> &args) {
    CommandLineState s;
    size_t i = 0;
    if (!args.empty() && args[0] == "history") {
        s.options.mode = Options::Mode::History;
        ++i;
    }
    if (!args.empty() && args[0] == "capture") {
        if (args.size() != 3 || args[1] != "show")
            throw ConfigError("capture: expected capture show FILE");
        s.options.mode = Options::Mode::CaptureShow;
        s.options.capture = args[2];
        return s.options;
    }
    for (; i < args.size(); ++i) {
        if (const MqttKey *key = find_mqtt_option(args[i])) {
            if (key->value && i + 1 >= args.size())
                throw ConfigError(args[i] + ": needs a value (" + key->value + ")");
            s.mqtt_given.push_back({key, mqtt_option_value(*key, key->value ? args[++i] : "")});
            continue;
        }
        const OptionSpec *option = find_option(args[i]);
        if (!option)
            throw ConfigError("unknown option " + args[i] + " (see --help)");
        std::string value;
        if (option->value) {
            if (i + 1 >= args.size())
                throw ConfigError(args[i] + ": needs a value (" + option->value + ")");
            value = args[++i];
        }
        if (option->device)
            s.device_options.push_back(option->name);
        option->apply(s, value);
    }
    if (s.options.mode == Options::Mode::Help)
        return s.options;
    check_combination(s);
    check_requests(s.options);
    if (s.options.mode == Options::Mode::Run) {
        s.options.devices = s.config_file.empty()
                                ? std::vector<DeviceConfig>{s.device}
                                : load_config_file(s.config_file, &s.options.mqtt);
        check_target(s.options);
    }
    for (const auto &[key, value] : s.mqtt_given)
        key->parse(s.options.mqtt, value, key->option);
    if (s.options.mode == Options::Mode::Run || s.options.mode == Options::Mode::Demo) {
        check_mqtt(s.options.mqtt);
    }
    // A one-shot operation ends the run once it is done, unless told to go on.
    if (!s.rounds_given && (s.options.get || s.options.set || s.options.control))
        s.options.rounds = 1;
    if (!s.rounds_given && s.options.mode == Options::Mode::Demo)
        s.options.rounds = 25;
    return s.options;
}

std::string usage() {
    std::ostringstream out;
    out << "usage: mpx23-host [options]\n"
           "       mpx23-host history --history FILE [--csv | --json] [--alarms | --requests]\n"
           "       mpx23-host capture show FILE\n"
           "Loads the mpx23 plug-in, polls its power systems and prints what they publish.\n\n";
    const auto line = [&out](const char *name, const char *value, const char *help) {
        std::string head = std::string("  ") + name + (value ? std::string(" ") + value : "");
        head += head.size() < 26 ? std::string(26 - head.size(), ' ') : "\n" + std::string(26, ' ');
        out << head << help << '\n';
    };
    for (const auto &o : kOptions)
        line(o.name, o.value, o.help);
    for (const auto &k : kMqttKeys)
        line(k.option, k.value, k.help);
    out << "\nConfiguration file: {\"devices\": [{\"port\": \"/dev/ttyS1\", \"data_id\": 1, "
           "\"settings\": {\"address\": 1},\n  \"interval\": 5, \"timeout\": 1, \"baud\": 9600, "
           "\"alarm_settings\": {ID: 1}, \"alarm_thresholds\": {ID: 47},\n  \"sim\": {scenario "
           "of the built-in simulator}}],\n  \"mqtt\": {\"url\": URL, \"ca\", \"user\", "
           "\"password_file\", "
           "\"prefix\", \"client_id\", \"control\": true, \"backlog\": N}}\n"
           "Exit codes: 0 done, 1 the plug-in, a port or the history failed or a one-shot request "
           "went unanswered, 2 bad options, configuration or request.\n";
    return out.str();
}

} // namespace host
