// "mqtt-forget": what the broker keeps of a device that is gone, removed with empty retained
// payloads: its discovery configurations, found by subscribing to them (so that entities of
// modules it no longer has go too) and those every device has, and its retained availability,
// state and alarms. Events are not retained and stay in subscribers' sessions.
#pragma once

#include "host/common/log.h"
#include "host/mqtt/mqtt_options.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct ForgetResult {
    bool done = false;                // the broker took every empty payload
    std::vector<std::string> cleared; // the topics the broker acknowledged, in that order
    size_t unconfirmed = 0;           // sent, or waiting to be, without an acknowledgement
    std::string error;                // when not done
};

// `quiet`: how long after the last retained configuration arrives the search ends.
ForgetResult forget_device(const MqttOptions &options, uint32_t data_id, Log &log,
                           std::chrono::milliseconds quiet = std::chrono::milliseconds(500),
                           std::chrono::milliseconds patience = std::chrono::seconds(10));

} // namespace host
