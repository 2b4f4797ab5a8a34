// The configuration file: its devices, each key checked and named in the message that refuses
// it, and its "mqtt" object.
#pragma once

#include "host/common/device_config.h"
#include "host/http/http_options.h"
#include "host/mqtt/mqtt_options.h"

#include <json/value.h>

#include <optional>
#include <string>
#include <vector>

namespace host {

// The devices of a configuration file's JSON document, and its "mqtt" and "http" objects into
// `mqtt` and `http` when given. Throws ConfigError.
std::vector<DeviceConfig> parse_config(const Json::Value &root, MqttOptions *mqtt = nullptr,
                                       HttpOptions *http = nullptr,
                                       std::optional<std::string> *agentx = nullptr);
std::vector<DeviceConfig> load_config_file(const std::string &path, MqttOptions *mqtt = nullptr,
                                           HttpOptions *http = nullptr,
                                           std::optional<std::string> *agentx = nullptr);

} // namespace host
