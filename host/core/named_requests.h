// Requests by name ("module-off:2", "float-voltage=53.5") as well as in the driver's raw form,
// and the safeguards every request passes before it may reach a device: one wrong digit in a
// raw control can switch every rectifier module off and leave a site on its batteries.
//
// A name is translated to the raw form here, before any other check, so that the driver, the
// history and the result topic all see the request that was actually sent.
#pragma once

#include <json/value.h>

#include <string>

namespace host {

// What the caller confirmed, and how its user would say so (the refusal tells them).
struct Confirmations {
    bool all_modules = false; // a control that switches off every module
    bool force = false;       // a set outside the parameter's plausible range
    const char *all_modules_hint;
    const char *force_hint;
};
Confirmations command_line_confirmations(bool all_modules, bool force);
Confirmations mqtt_confirmations(bool all_modules, bool force);

struct CheckedRequest {
    enum Verdict { Accepted, Malformed, Refused } verdict = Malformed;
    std::string raw;    // what the driver is handed (Accepted and Refused)
    std::string reason; // Malformed: what was expected; Refused: the rule and how to confirm
};

// "module-off:2", "equalise", "equalise:3" or a raw "419500200002".
CheckedRequest check_control(const std::string &given, const Confirmations &confirmed);
// "float-voltage=53.5" or a raw {"signal_id": "4196A3201001", "SetValue": 53.5}.
CheckedRequest check_set(const std::string &given, const Confirmations &confirmed);
// A set as the broker gives it: "signal_id" an identifier or a parameter name.
CheckedRequest check_set(const Json::Value &signal_id, const Json::Value &set_value,
                         const Confirmations &confirmed);

// Why a raw control may not go to a power system of `modules` rectifier modules: it names a
// module past them and is not confirmed ("" when it may go; module 0 is every module).
std::string module_refusal(const std::string &raw, size_t modules, bool force,
                           const char *force_hint);

// Whether a refusal's reason is a safeguard's, which a confirmation would have let through.
bool asks_confirmation(const std::string &reason);

// The text of a number that reads back as the same double, as short as that allows.
std::string shortest_number(double value);

} // namespace host
