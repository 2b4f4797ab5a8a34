#include "host/program/config_file.h"

#include "host/common/catalogue.h"
#include "host/common/plain_text.h"
#include "host/core/named_requests.h"
#include "host/program/mqtt_keys.h"
#include "host/program/values.h"
#include "sim/scenario_file.h"

#include <json/reader.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

namespace host {
namespace {

using KeyParser = void (*)(DeviceConfig &, const Json::Value &, const std::string &name);

[[noreturn]] void bad(const std::string &name, const std::string &what) {
    throw ConfigError(name + ": " + what);
}

void parse_port_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isString())
        bad(name, "expected a text");
    try {
        d.port_location = parse_port(v.asString());
    } catch (const ConfigError &e) {
        bad(name, e.what());
    }
    d.port = v.asString();
}

// The device's settings (the protocol engine's two and the driver's one); a misspelled one would
// otherwise leave its default in force.
const char *const kEngineSettings[] = {"address", "protocol_version", "alarm_profile"};

// The address and the alarm profile are numbers; the protocol version is a number or a text
// such as "0x21", which the engine reads and judges.
void check_setting_types(const Json::Value &v, const std::string &name) {
    if (v.isMember("address") &&
        !(v["address"].isUInt() && v["address"].asUInt() >= 1 && v["address"].asUInt() <= 254))
        bad(name + ".address", "expected a whole number from 1 to 254");
    if (v.isMember("alarm_profile") &&
        !(v["alarm_profile"].isUInt() &&
          (v["alarm_profile"].asUInt() == 0 || v["alarm_profile"].asUInt() == 2)))
        bad(name + ".alarm_profile", "expected 0 or 2");
    if (v.isMember("protocol_version") && !v["protocol_version"].isIntegral() &&
        !v["protocol_version"].isString())
        bad(name + ".protocol_version", "expected a whole number from 0 to 255 or a text such as "
                                        "\"0x21\"");
}

void parse_settings_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isObject())
        bad(name, "expected an object");
    for (const auto &key : v.getMemberNames())
        if (std::find(std::begin(kEngineSettings), std::end(kEngineSettings), key) ==
            std::end(kEngineSettings))
            bad(name + "." + key, "unknown key (known: address, protocol_version, alarm_profile)");
    check_setting_types(v, name);
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

// An object keyed by the driver's alarm identifiers whose values are all of one kind. A
// misspelled identifier would leave the alarm at its default without a word.
template <class T>
void parse_alarm_object(std::map<std::string, T> &out, const Json::Value &v,
                        const std::string &name, bool (*is_kind)(const Json::Value &),
                        T (Json::Value::*as)() const, const char *expected) {
    if (!v.isObject())
        bad(name, "expected an object of alarm identifiers");
    for (const auto &id : v.getMemberNames()) {
        if (!catalogue::alarm_with_id(id))
            bad(name + "." + id, "not an alarm of the driver (mpx23-host list shows them)");
        if (!is_kind(v[id]))
            bad(name + "." + id, expected);
        out[id] = (v[id].*as)();
    }
}

bool is_whole(const Json::Value &v) {
    return v.isInt();
}

// A limit a float holds: beyond that range the driver would compare against infinity.
bool is_limit(const Json::Value &v) {
    return v.isNumeric() && std::fabs(v.asDouble()) <= 1e6;
}

void parse_alarm_settings_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    parse_alarm_object(d.alarm_settings, v, name, is_whole, &Json::Value::asInt,
                       "expected a whole number (0: off, 1: on)");
}

// Whether each threshold fits its alarm is checked once the mains frequency is known.
void parse_alarm_thresholds_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    parse_alarm_object(d.alarm_thresholds, v, name, is_limit, &Json::Value::asFloat,
                       "expected a number from -1000000 to 1000000");
}

void parse_alarms_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isBool())
        bad(name, "expected true or false");
    d.alarms = v.asBool();
}

void parse_mains_frequency_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isUInt() || (v.asUInt() != 50 && v.asUInt() != 60))
        bad(name, "expected 50 or 60");
    d.mains_frequency = v.asUInt();
}

void parse_name_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    if (!v.isString() || v.asString().empty())
        bad(name, "expected a text that is not empty");
    if (!plain_text(v.asString()))
        bad(name, kPlainTextExpected);
    d.name = v.asString();
}

void parse_sim_key(DeviceConfig &d, const Json::Value &v, const std::string &name) {
    sim::Config probe;
    try {
        sim::load_scenario(probe, v);
        sim::check_fill_patterns(probe);
    } catch (const std::invalid_argument &e) { // the simulator's own word for a bad scenario
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
    {"alarms", parse_alarms_key},
    {"mains_frequency", parse_mains_frequency_key},
    {"sim", parse_sim_key},
    {"name", parse_name_key},
};

// A threshold only for an alarm that takes one (the three AC voltage alarms have the driver's
// fixed limits, and would not use it), and only where it can mean what the alarm says: a DC low
// alarm at 0 V would never be raised, one at 1000 V never cleared.
void check_thresholds(const DeviceConfig &d) {
    for (const auto &[id, threshold] : d.alarm_thresholds) {
        const catalogue::Alarm &alarm = *catalogue::alarm_with_id(id);
        const std::string name = d.key_name("alarm_thresholds." + id);
        const auto range = threshold_range(alarm, d.mains_frequency);
        if (!range)
            bad(name, std::string(alarm.name) + " has the driver's fixed limit, " +
                          catalogue::limit_text(alarm) + ": it takes no threshold");
        if (threshold < range->low || threshold > range->high)
            bad(name, "expected " + std::string(alarm.name) + " from " +
                          shortest_number(range->low) + " to " + shortest_number(range->high) +
                          " " + range->unit + " (" + range->meaning + ")");
    }
}

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
    // A device without a port would be polled on the simulator, and its readings published
    // under the site's name as if they were the plant's.
    if (!v.isMember("port"))
        bad(d.key_name("port"), kPortMissing);
    if (!d.sim.isNull() && d.port_location.kind != PortLocation::Kind::Sim)
        bad(d.key_name("sim"), "only for the port \"sim\" or \"sim:NAME\"");
    check_thresholds(d);
    return d;
}

// Devices[i] against those before it: two with one data_id could not be told apart, two on one
// port at one address would answer each other's commands, and a line has one speed (the first
// device's would be used, and the other device never heard).
void check_unique(const std::vector<DeviceConfig> &devices, const std::string &origin) {
    const size_t i = devices.size() - 1;
    for (size_t j = 0; j < i; ++j)
        if (devices[j].data_id == devices[i].data_id)
            bad(origin + ".data_id", "already used by devices[" + std::to_string(j) + "]");
    auto address = [](const DeviceConfig &d) {
        const Json::Value &a = d.settings["address"];
        return a.isUInt() ? a.asUInt() : 1u;
    };
    for (size_t j = 0; j < i; ++j)
        if (devices[j].port == devices[i].port && devices[j].baud != devices[i].baud)
            bad(origin + ".baud", std::to_string(devices[i].baud) + " on " + devices[i].port +
                                      ", where devices[" + std::to_string(j) + "] has " +
                                      std::to_string(devices[j].baud) + ": a line has one speed");
    for (size_t j = 0; j < i; ++j)
        if (devices[j].port == devices[i].port && address(devices[j]) == address(devices[i]))
            bad(origin + ".settings.address", "address " + std::to_string(address(devices[i])) +
                                                  " already used on " + devices[i].port +
                                                  " by devices[" + std::to_string(j) + "]");
}

// A configuration is a few kilobytes; reading stops well beyond that (a device file such as
// /dev/zero never ends). Nesting deeper than any configuration needs is refused by the reader.
constexpr std::streamsize kLargestConfig = 1 << 20;
constexpr int kDeepestConfig = 64;

std::string read_config_text(const std::string &path) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ConfigError("config: cannot read " + path + ": " +
                          (errno ? std::strerror(errno) : "cannot open"));
    std::string text(static_cast<size_t>(kLargestConfig) + 1, '\0');
    in.read(&text[0], kLargestConfig + 1);
    if (in.bad())
        throw ConfigError("config: cannot read " + path + ": " + std::strerror(errno));
    if (in.gcount() > kLargestConfig)
        throw ConfigError("config: " + path + ": larger than " + std::to_string(kLargestConfig) +
                          " bytes");
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

// "http": {"listen": "[ADDRESS:]PORT", "max_connections": N, "timeout": SECONDS}
HttpOptions parse_http_config(const Json::Value &v) {
    if (!v.isObject())
        bad("config: http", "expected an object");
    HttpOptions http;
    for (const auto &key : v.getMemberNames()) {
        const std::string name = "config: http." + key;
        const Json::Value &value = v[key];
        if (key == "listen" && value.isString())
            http.listen = value.asString();
        else if (key == "max_connections" && value.isUInt() && value.asUInt() >= 1 &&
                 value.asUInt() <= 1024)
            http.max_connections = value.asUInt();
        else if (key == "timeout" && value.isNumeric() && value.asDouble() >= 0.1 &&
                 value.asDouble() <= 3600)
            http.timeout = value.asDouble();
        else if (key == "listen" || key == "max_connections" || key == "timeout")
            bad(name, key == "listen"            ? "expected a text, [ADDRESS:]PORT"
                      : key == "max_connections" ? "expected a whole number from 1 to 1024"
                                                 : "expected seconds from 0.1 to 3600");
        else
            bad(name, "unknown key");
    }
    return http;
}

// "snmp": {"agentx": true | false | "SOCKET"}: the system's agent to join; none when false.
std::optional<std::string> parse_snmp_config(const Json::Value &v) {
    if (!v.isObject())
        bad("config: snmp", "expected an object");
    std::optional<std::string> agentx;
    for (const auto &key : v.getMemberNames()) {
        const Json::Value &value = v[key];
        if (key != "agentx")
            bad("config: snmp." + key, "unknown key");
        else if (value.isBool())
            agentx = value.asBool() ? std::optional<std::string>("") : std::nullopt;
        else if (value.isString() && !value.asString().empty() && plain_text(value.asString()))
            agentx = value.asString();
        else
            bad("config: snmp.agentx",
                "expected true, false or the master agent's socket (a path or tcp:HOST:PORT)");
    }
    return agentx;
}

} // namespace

std::vector<DeviceConfig> parse_config(const Json::Value &root, MqttOptions *mqtt,
                                       HttpOptions *http, std::optional<std::string> *agentx) {
    if (!root.isObject())
        bad("config", "expected a JSON object with \"devices\"");
    for (const auto &key : root.getMemberNames())
        if (key != "devices" && key != "mqtt" && key != "http" && key != "snmp")
            bad("config: " + key, "unknown key");
    if (root.isMember("snmp")) {
        const std::optional<std::string> parsed = parse_snmp_config(root["snmp"]);
        if (agentx)
            *agentx = parsed;
    }
    if (root.isMember("mqtt")) {
        MqttOptions parsed;
        parse_mqtt_config(parsed, root["mqtt"]);
        if (mqtt)
            *mqtt = parsed;
    }
    if (root.isMember("http")) {
        const HttpOptions parsed = parse_http_config(root["http"]);
        if (http)
            *http = parsed;
    }
    const Json::Value &list = root["devices"];
    if (!list.isArray() || list.empty())
        bad("config: devices", "expected a list of at least one device");
    std::vector<DeviceConfig> devices;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const std::string origin = "config: devices[" + std::to_string(i) + "]";
        devices.push_back(parse_device(list[i], origin));
        check_unique(devices, origin);
    }
    return devices;
}

std::vector<DeviceConfig> load_config_file(const std::string &path, MqttOptions *mqtt,
                                           HttpOptions *http, std::optional<std::string> *agentx) {
    const std::string text = read_config_text(path);
    // Strict JSON but for comments (a commented sample configuration is easier to follow): a
    // key given twice, a trailing comma or text after the document is a mistake the reader
    // would settle silently.
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["allowComments"] = true;
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
    return parse_config(root, mqtt, http, agentx);
}

} // namespace host
