// The broker's keys: one table that the command line (--mqtt-*), the configuration file's
// "mqtt" object and the help text all read, so that a key and its option cannot drift apart.
#pragma once

#include "host/mqtt/mqtt_options.h"

#include <json/value.h>

#include <string>
#include <vector>

namespace host {

struct MqttKey {
    const char *key;    // in the configuration file's "mqtt" object
    const char *option; // on the command line
    const char *value;  // what the option takes; nullptr: a switch
    const char *help;
    // Takes the key's value into the options; throws ConfigError naming `name`.
    void (*parse)(MqttOptions &, const Json::Value &, const std::string &name);
    // The option may stand alone, meaning its default (--mqtt-discovery [PREFIX]).
    bool value_optional = false;
};

// Whether `text`, the argument after an option whose value is optional, is that value rather
// than the next option.
bool optional_value_given(const MqttKey &k, const std::string &text);

const std::vector<MqttKey> &mqtt_keys();

// The key an option names, or nullptr.
const MqttKey *find_mqtt_option(const std::string &name);

// The option's text as its configuration key holds it: a switch is true, a count a number.
Json::Value mqtt_option_value(const MqttKey &k, const std::string &text);

// The configuration file's "mqtt" object. Throws ConfigError.
void parse_mqtt_config(MqttOptions &m, const Json::Value &v);

// The broker's options only make sense with a broker, and a certificate authority only with
// TLS. Throws ConfigError.
void check_mqtt(const MqttOptions &m);

} // namespace host
