#include "host/program/mqtt_keys.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/common/device_config.h"
#include "host/common/plain_text.h"
#include "host/mqtt/mqtt_client.h"
#include "host/program/values.h"

#include <algorithm>
#include <cstring>

namespace host {
namespace {

std::string mqtt_text(const Json::Value &v, const std::string &name) {
    if (!v.isString() || v.asString().empty())
        throw ConfigError(name + ": expected a text");
    // Topics, the client id and the account go to the broker as UTF-8 strings, where a NUL
    // would cut them short.
    if (!plain_text(v.asString()))
        throw ConfigError(name + ": " + kPlainTextExpected);
    return v.asString();
}

void parse_mqtt_url_key(MqttOptions &m, const Json::Value &v, const std::string &name) {
    m.url = mqtt_text(v, name);
    try {
        parse_mqtt_url(m.url);
    } catch (const ConfigError &e) {
        throw ConfigError(name + std::string(e.what()).substr(std::strlen("--mqtt")));
    }
}

// A topic prefix is levels of plain text: wildcards would subscribe to more than the host's own
// topics, and empty levels make topics no one means.
std::string topic_levels(const Json::Value &v, const std::string &name, const char *example) {
    const std::string prefix = mqtt_text(v, name);
    if (prefix.find_first_of("+#") != std::string::npos || prefix.front() == '/' ||
        prefix.back() == '/' || prefix.find("//") != std::string::npos || prefix.size() > 200)
        throw ConfigError(name +
                          ": expected topic levels without + or # and without empty "
                          "levels, as in " +
                          example);
    return prefix;
}

void parse_mqtt_prefix(MqttOptions &m, const Json::Value &v, const std::string &name) {
    m.prefix = topic_levels(v, name, "mpx23/site-17");
}

// true: the hub's usual prefix; false: off; a text: the prefix the hub was set to.
void parse_mqtt_discovery(MqttOptions &m, const Json::Value &v, const std::string &name) {
    if (v.isBool())
        m.discovery_prefix = v.asBool() ? kDefaultDiscoveryPrefix : "";
    else
        m.discovery_prefix = topic_levels(v, name, kDefaultDiscoveryPrefix);
}

void parse_mqtt_values(MqttOptions &m, const Json::Value &v, const std::string &name) {
    if (!v.isBool())
        throw ConfigError(name + ": expected true or false");
    m.values = v.asBool();
}

void parse_mqtt_control(MqttOptions &m, const Json::Value &v, const std::string &name) {
    if (!v.isBool())
        throw ConfigError(name + ": expected true or false");
    m.control = v.asBool();
}

void parse_mqtt_backlog(MqttOptions &m, const Json::Value &v, const std::string &name) {
    if (!v.isUInt() || v.asUInt() < 1 || v.asUInt() > kLargestMqttBacklog)
        throw ConfigError(name + ": expected a whole number from 1 to " +
                          std::to_string(kLargestMqttBacklog));
    m.backlog = v.asUInt();
}

constexpr DurationRange kHeartbeatRange{0.0, kLongestHeartbeat};

void parse_mqtt_heartbeat(MqttOptions &m, const Json::Value &v, const std::string &name) {
    if (!v.isNumeric() || !in_range(v.asDouble(), kHeartbeatRange))
        throw ConfigError(name + ": " + range_text(kHeartbeatRange));
    m.heartbeat = v.asDouble();
}

void parse_mqtt_full_state(MqttOptions &m, const Json::Value &v, const std::string &name) {
    if (!v.isBool())
        throw ConfigError(name + ": expected true or false");
    m.full_state = v.asBool();
}

// The keys that are plain texts, each stored in its own member.
template <std::string MqttOptions::*member>
void parse_mqtt_text(MqttOptions &m, const Json::Value &v, const std::string &name) {
    m.*member = mqtt_text(v, name);
}

} // namespace

const std::vector<MqttKey> &mqtt_keys() {
    static const std::vector<MqttKey> keys = {
        {"url", "--mqtt", "URL",
         "publish state, alarms and events to mqtt://HOST[:PORT] or mqtts://", parse_mqtt_url_key},
        {"ca", "--mqtt-ca", "FILE", "mqtts: the certificate authority of the broker's certificate",
         parse_mqtt_text<&MqttOptions::ca_file>},
        {"user", "--mqtt-user", "NAME", "the broker account", parse_mqtt_text<&MqttOptions::user>},
        {"password_file", "--mqtt-password-file", "FILE",
         "the file whose first line is the account's password",
         parse_mqtt_text<&MqttOptions::password_file>},
        {"prefix", "--mqtt-prefix", "TOPIC", "the topics' first levels (default mpx23/<host name>)",
         parse_mqtt_prefix},
        {"client_id", "--mqtt-client-id", "ID", "the client identifier (default: from the prefix)",
         parse_mqtt_text<&MqttOptions::client_id>},
        {"control", "--mqtt-control", nullptr, "take set and control requests from the broker",
         parse_mqtt_control},
        {"backlog", "--mqtt-backlog", "N", "events kept while the broker is away (default 10000)",
         parse_mqtt_backlog},
        {"discovery", "--mqtt-discovery", "[PREFIX]",
         "announce each device's entities for discovery under PREFIX (default homeassistant)",
         parse_mqtt_discovery, true},
        {"values", "--mqtt-values", nullptr, "each value's bare number on <prefix>/ID/value/NAME",
         parse_mqtt_values},
        {"heartbeat", "--mqtt-heartbeat", "SECONDS",
         "a state goes out when it changed and at least this often (default 300; 0: every round)",
         parse_mqtt_heartbeat},
        {"full_state", "--mqtt-full-state", nullptr,
         "the state with the block's bytes in hex and the units", parse_mqtt_full_state},
    };
    return keys;
}

const MqttKey *find_mqtt_option(const std::string &name) {
    const auto &keys = mqtt_keys();
    auto found =
        std::find_if(keys.begin(), keys.end(), [&](const MqttKey &k) { return name == k.option; });
    return found == keys.end() ? nullptr : &*found;
}

bool optional_value_given(const MqttKey &k, const std::string &text) {
    return k.value_optional && !text.empty() && text[0] != '-';
}

Json::Value mqtt_option_value(const MqttKey &k, const std::string &text) {
    if (!k.value || (k.value_optional && text.empty()))
        return Json::Value(true);
    if (std::string(k.key) == "backlog")
        return Json::Value(
            static_cast<Json::UInt>(to_whole(text, 1, kLargestMqttBacklog, k.option)));
    if (std::string(k.key) == "heartbeat")
        return Json::Value(to_seconds(text, k.option, kHeartbeatRange));
    return Json::Value(text);
}

void parse_mqtt_config(MqttOptions &m, const Json::Value &v) {
    if (!v.isObject())
        throw ConfigError("config: mqtt: expected an object");
    const auto &keys = mqtt_keys();
    for (const auto &key : v.getMemberNames()) {
        auto found =
            std::find_if(keys.begin(), keys.end(), [&](const MqttKey &k) { return key == k.key; });
        if (found == keys.end())
            throw ConfigError("config: mqtt." + key + ": unknown key");
        found->parse(m, v[key], "config: mqtt." + key);
    }
}

void check_mqtt(const MqttOptions &m) {
    if (m.url.empty()) {
        const bool any = !m.ca_file.empty() || !m.user.empty() || !m.password_file.empty() ||
                         !m.prefix.empty() || !m.client_id.empty() || m.control ||
                         !m.discovery_prefix.empty() || m.values ||
                         m.heartbeat != kDefaultHeartbeat || m.full_state;
        if (any)
            throw ConfigError("--mqtt-*: only with --mqtt URL (or \"url\" in the mqtt object)");
        return;
    }
    const bool tls = parse_mqtt_url(m.url).tls;
    if (!m.ca_file.empty() && !tls)
        throw ConfigError("--mqtt-ca: only with an mqtts:// URL");
    // Found out at the first connection instead, it would leave the broker unreached for good.
    if (tls && !mqtt_library_has_tls())
        throw ConfigError("--mqtt: " + m.url +
                          ": this host's MQTT library (libmosquitto) is built without TLS; use "
                          "mqtt:// over a trusted network, or install a libmosquitto with TLS");
    // Found missing at the first connection, it would leave the broker unreached for good.
    if (!m.ca_file.empty() && access(m.ca_file.c_str(), R_OK) != 0)
        throw ConfigError("--mqtt-ca: cannot read " + m.ca_file + ": " + std::strerror(errno));
    if (!m.password_file.empty() && m.user.empty())
        throw ConfigError("--mqtt-password-file: only with --mqtt-user");
}

} // namespace host
