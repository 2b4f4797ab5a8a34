// What each path of the host's HTTP server answers:
//
//   /                 the live page
//   /metrics          the Prometheus text format
//   /api/state        every device: communication, readings by name, the broker's state and
//                     alarms documents; ?device=ID: that device's state document alone
//   /api/alarms       the broker's alarms document of every device; ?device=ID: one
//   /api/history      ?device=ID&since=TIME&until=TIME&last=N&before=ROW: stored blocks, as
//                     history --json, written as they are read
//   /api/plot         ?device=ID: [time, DC voltage, load current, alarm 1 or 0] of the recent
//                     rounds
#pragma once

#include "host/http/http_server.h"
#include "host/http/metrics.h"
#include "host/state/site_state.h"
#include "host/stores/history.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace host {

struct HttpSources {
    const SiteState &site;
    History *history = nullptr; // nullptr: no --history
    std::function<std::optional<MqttHealth>()> mqtt;
    double refresh_s = 1.0; // how often the page asks again
    std::string version;    // the build's, for mpx23_build_info
};

// The most blocks one /api/history answer carries, the most it reads at a time, and the points
// one plot is drawn from.
constexpr unsigned kLargestHistoryAnswer = 2000;
constexpr unsigned kHistoryPageRows = 10;
constexpr size_t kPlotPoints = 720;

HttpResponse http_route(const HttpSources &sources, const std::string &path,
                        const std::map<std::string, std::string> &query);

// The plot's rounds from before the start, out of the history.
void recall_recent_rounds(SiteState &site, History &history);

} // namespace host
