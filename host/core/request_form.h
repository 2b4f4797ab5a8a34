// The form of the requests the host hands the driver: a parameter setting {"signal_id": "ID",
// "SetValue": NUMBER} and a remote control ("419500200002"). Judged by the driver's own rule, so
// that what the command line or the broker lets through is exactly what the driver takes: a
// request of the wrong form is refused where it was given, with a message, instead of being
// dropped by the driver with nothing sent.
#pragma once

#include "protocol/identifiers.h"
#include "protocol/request_form.h"

#include <string>

namespace host {

// What the messages of a refused request say was expected.
inline constexpr const char *kSetRequestForm = "{\"signal_id\": \"ID\", \"SetValue\": NUMBER}";
inline constexpr const char *kControlRequestForm =
    "a command identifier of 9 characters and a module address 0 to 255, as in 419500200002";
static_assert(protocol::kControlIdLength == 9, "kControlRequestForm names the length");

inline bool is_set_request(const std::string &text) {
    return protocol::is_set_request(text);
}

inline bool is_control_request(const std::string &text) {
    return protocol::is_control_request(text);
}

} // namespace host
