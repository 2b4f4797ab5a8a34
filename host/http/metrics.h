// The site in the Prometheus text format (version 0.0.4): every name starts with mpx23_, ends
// in its base unit, counters in _total. Readings are those of the last completed round and are
// absent for a device that is not up, so that a graph shows a gap rather than a stale value.
// Counters (for every reason) and alarms (every one the device can raise, 0 or 1) are there from
// the start, so that increase() and an alert see their first change. A label means one thing
// everywhere: `name` is the device's, an alarm's is `alarm_name`.
#pragma once

#include "host/state/site_state.h"

#include <optional>
#include <string>

namespace host {

// What the broker's side tells, when there is one.
struct MqttHealth {
    bool connected = false;
    std::optional<unsigned long> backlog; // unset: the backlog cannot be read
};

constexpr const char *kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string metrics_text(const SiteState &site, const std::string &version,
                         const std::optional<MqttHealth> &mqtt);

} // namespace host
