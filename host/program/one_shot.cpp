#include "host/program/one_shot.h"

#include "host/core/request_form.h"

#include <algorithm>

namespace host {

void check_requests(const Options &o) {
    if (o.get && o.get->empty())
        throw ConfigError("--get: expected a value name");
    if (o.set && !is_set_request(*o.set))
        throw ConfigError(std::string("--set: expected ") + kSetRequestForm);
    if (o.control && !is_control_request(*o.control))
        throw ConfigError(std::string("--control: expected ") + kControlRequestForm);
}

void check_target(const Options &o) {
    if (!o.target)
        return;
    const bool known = std::any_of(o.devices.begin(), o.devices.end(),
                                   [&](const DeviceConfig &d) { return d.data_id == *o.target; });
    if (!known)
        throw ConfigError("--device: no device with data_id " + std::to_string(*o.target));
}

} // namespace host
