// What the control socket answers: the running host's status, a value of a device's newest
// block (or of the driver), the documents of the HTTP API, the names it takes, and set and
// control requests, which wait for their turn on the line between two rounds of the device
// like any other and are recorded with the asker's user.
//
//   {"request": "status"}
//   {"request": "get", "data_id": 1, "name": "dc.voltage"}
//   {"request": "set", "data_id": 1, "text": "float-voltage=54", "force": false}
//   {"request": "control", "data_id": 1, "text": "module-off:2", "all_modules": false,
//    "force": false}
//   {"request": "document", "path": "/api/alarms", "query": {"device": "1"}}
//     (answered {"body": TEXT, "content_type": ..., "status": N}; /api/history, written as it is
//     read, {"content_type": ..., "document": [...], "status": N})
//   {"request": "list"}
#pragma once

#include "host/common/device_config.h"
#include "host/control/control_server.h"
#include "host/core/host.h"
#include "host/core/named_requests.h"
#include "host/http/http_routes.h"
#include "host/state/site_state.h"

#include <functional>
#include <string>
#include <vector>

namespace host {

class ControlRequests {
public:
    ControlRequests(Host &host, const SiteState &site, HttpSources sources,
                    std::vector<DeviceConfig> devices, std::function<std::string()> listing);

    void handle(const std::string &request, const Asker &asker,
                const ControlServer::Answer &answer);

private:
    std::string status() const;
    std::string value(uint32_t data_id, const std::string &name) const;
    void request(bool set, uint32_t data_id, const std::string &text,
                 const Confirmations &confirmations, const Asker &asker,
                 const ControlServer::Answer &answer);
    const DeviceConfig *config(uint32_t data_id) const;

    Host &host;
    const SiteState &site;
    HttpSources sources;
    std::vector<DeviceConfig> devices;
    std::function<std::string()> listing;
};

} // namespace host
