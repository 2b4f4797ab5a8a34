// The configurations a home-automation hub reads to build a power system's entities by itself
// (MQTT discovery), one retained message per entity:
//
//   <discovery prefix>/<component>/<node>/<object>/config
//
// <node> is the host's topic prefix and the data_id made one topic level ("site_1"); it is the
// device's identifier and the start of every entity's unique id, so that two hosts, or two
// devices of one host, never share an entity. Sensors read the state document, alarms the alarm
// document, through value templates; every entity is available while both the host's status and
// the device's availability say "online", and a sensor besides only while states keep coming:
// the state goes out on change and at least once a heartbeat, and a hub that has heard none for
// a few heartbeats shows the sensor unavailable rather than its last value. Settings and
// controls are the device's configuration to the hub (entity_category "config"); a number shows
// the setting the block reads back, not merely what was last sent.
#pragma once

#include "host/json/documents.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

// What decides how many entities a device has: the records its newest block holds.
struct DiscoveryShape {
    size_t modules = 0;
    size_t inputs = 0;
    size_t batteries = 0;
    bool operator==(const DiscoveryShape &o) const {
        return modules == o.modules && inputs == o.inputs && batteries == o.batteries;
    }
    bool operator!=(const DiscoveryShape &o) const { return !(*this == o); }
};
DiscoveryShape discovery_shape(const DecodedBlock &block);

struct DiscoveryDevice {
    std::string host_prefix;      // the host's topics: "site"
    std::string discovery_prefix; // where the hub listens: "homeassistant"
    uint32_t data_id = 0;
    std::string name;     // empty: "Power system <data_id> (<host prefix>)"
    bool control = false; // with --mqtt-control: the setting and control entities too
    // Seconds after its last state that a sensor is shown unavailable rather than stale; 0:
    // never (the availability alone says when its values are stale).
    unsigned expire_after = 0;
    std::string version; // the host's, as the device's software version; empty: none
    std::string page;    // the host's live page, where the hub links the device; empty: none
};

// A sensor's expire_after for a device polled every `interval` whose state goes out at least
// every `heartbeat` seconds (0: every round).
unsigned sensor_expiry(double heartbeat, double interval);

struct RetainedMessage {
    std::string topic, payload;
};

// The device class and unit a sensor or number of each quantity is announced with, as the hub
// defines them (docs/mqtt.md lists them).
struct DiscoveryUnit {
    const char *device_class;
    const char *unit;
};
const std::vector<DiscoveryUnit> &discovery_units();

// Every entity's configuration, in a stable order.
std::vector<RetainedMessage> discovery_messages(const DiscoveryDevice &device,
                                                const DiscoveryShape &shape);

// "site_1": the host prefix and the data_id as one topic level, only [A-Za-z0-9_-].
std::string discovery_node(const std::string &host_prefix, uint32_t data_id);
// The subscription that matches every configuration of the device, whatever its shape was.
std::string discovery_filter(const DiscoveryDevice &device);

} // namespace host
