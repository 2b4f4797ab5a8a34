// What the MQTT publisher is told by the command line or the configuration file.
#pragma once

#include <string>

namespace host {

// The heartbeat unless told otherwise, and the longest one may be: a day.
constexpr double kDefaultHeartbeat = 300.0;
constexpr double kLongestHeartbeat = 86400.0;

// Publishing to an MQTT broker; off while `url` is empty.
struct MqttOptions {
    std::string url;               // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string ca_file;           // mqtts: the authority of the broker's certificate
    std::string user;              // empty: no login
    std::string password_file;     // its first line is the password
    std::string prefix;            // empty: mpx23/<host name>
    std::string client_id;         // empty: the prefix, '/' made '-'
    bool control = false;          // take set and control requests from the broker
    std::string discovery_prefix;  // empty: no discovery
    bool values = false;           // a topic per block field, with the bare number
    unsigned long backlog = 10000; // events kept while the broker is away; then the oldest go
    // A device's state goes out when it changed, and at least this often (seconds); 0: every
    // round.
    double heartbeat = kDefaultHeartbeat;
    bool full_state = false; // the state with the block's hex and the units, as over HTTP
    // Where each key came from, for messages: "--mqtt-user" or "config: mqtt.user".
    std::string origin;
};

// Where a home-automation hub listens for discovery unless told otherwise.
constexpr const char *kDefaultDiscoveryPrefix = "homeassistant";

// The most events a backlog may be told to keep.
constexpr unsigned long kLargestMqttBacklog = 1000000;

} // namespace host
