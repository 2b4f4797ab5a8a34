#include "host/program/one_shot.h"

#include "host/block/block_fields.h"
#include "host/common/catalogue.h"
#include "host/common/clock_text.h"
#include "host/core/named_requests.h"
#include "host/stores/history.h"

#include <algorithm>

namespace host {
namespace {

// Takes the raw form in place of what was given; a malformed request stops here.
void take(std::optional<std::string> &given, const CheckedRequest &checked, bool set, Options &o) {
    const char *option = set ? "--set" : "--control";
    if (checked.verdict == CheckedRequest::Malformed)
        throw ConfigError(std::string(option) + ": " + checked.reason);
    given = checked.raw;
    if (checked.verdict == CheckedRequest::Refused && !o.refused)
        o.refused = Options::Refused{set, checked.raw, std::string(option) + ": " + checked.reason};
}

bool driver_value(const std::string &name) {
    return std::any_of(std::begin(catalogue::kDriverValues), std::end(catalogue::kDriverValues),
                       [&](const catalogue::DriverValue &v) { return name == v.name; });
}

} // namespace

void check_requests(Options &o) {
    if (o.get && o.get->empty())
        throw ConfigError("--get: expected a value name");
    if (o.get && !setpoint_not_kept(*o.get).empty())
        throw ConfigError("--get: " + setpoint_not_kept(*o.get));
    if (o.get && !driver_value(*o.get) && !is_block_field(*o.get))
        throw ConfigError("--get: no value named " + *o.get + " (mpx23-host list shows them)");
    const Confirmations confirmed = command_line_confirmations(o.all_modules, o.force);
    if (o.set)
        take(o.set, check_set(*o.set, confirmed), true, o);
    if (o.control)
        take(o.control, check_control(*o.control, confirmed), false, o);
}

void check_target(const Options &o) {
    if (!o.target)
        return;
    const bool known = std::any_of(o.devices.begin(), o.devices.end(),
                                   [&](const DeviceConfig &d) { return d.data_id == *o.target; });
    if (!known)
        throw ConfigError("--device: no device with data_id " + std::to_string(*o.target));
}

void record_refusal(const Options &o) {
    if (!o.refused || o.history.empty())
        return;
    History history(o.history, o.retention);
    for (const DeviceConfig &d : o.devices)
        if (!o.target || *o.target == d.data_id)
            history.store_request({0, d.data_id, local_time_text(), "command line",
                                   o.refused->set ? "set" : "control", "", o.refused->request,
                                   "refused", o.refused->reason});
}

} // namespace host
