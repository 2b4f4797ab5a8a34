#include "host/core/named_requests.h"

#include "host/common/catalogue.h"
#include "host/core/request_form.h"

#include "host/json/json_writer.h"
#include <json/reader.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace host {
namespace {

const char *const kControlNames = "module-on:N, module-off:N, float, equalise or test";
const char *const kSetNames = "float-voltage=V, equalise-voltage=V or temperature-compensation=MV";

// What was wrong: the translation's own words, else the forms that are taken.
CheckedRequest malformed(const std::string &why, const std::string &forms) {
    return {CheckedRequest::Malformed, "", why.empty() ? "expected " + forms : why};
}

// The driver ignores members it does not know, so a misspelt or extra key would go unnoticed:
// the host takes exactly the form's two, once each, as the broker's requests are taken.
std::string stray_set_keys(const std::string &text) {
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    Json::Value parsed;
    std::string errors;
    std::istringstream in(text);
    if (!Json::parseFromStream(builder, in, &parsed, &errors))
        return errors.find("Duplicate key") != std::string::npos ? "a key given twice"
                                                                 : "not plain JSON";
    std::string stray;
    for (const std::string &key : parsed.getMemberNames())
        if (key != "signal_id" && key != "SetValue")
            stray += (stray.empty() ? "" : ", ") + ("\"" + key + "\"");
    return stray.empty() ? "" : "unknown key " + stray;
}

std::string module_digits(unsigned module) {
    char text[8];
    std::snprintf(text, sizeof text, "%03u", module);
    return text;
}

// "module-off:2" -> "419500200002"; a charge mode goes to every module unless one is named.
bool translate_control(const std::string &given, std::string &raw, std::string &why) {
    const size_t colon = given.find(':');
    const catalogue::Control *control = catalogue::control_named(given.substr(0, colon));
    if (!control)
        return false;
    uint8_t module = 0;
    if (colon == std::string::npos && control->takes_module) {
        why = std::string(control->name) + " needs a module: " + control->name +
              ":N, N 1 to 255 (0: every module)";
        return false;
    }
    if (colon != std::string::npos &&
        !protocol::read_module_address(std::string_view(given).substr(colon + 1), module)) {
        why = std::string(control->name) + ": expected a module address 0 to 255 after ':'";
        return false;
    }
    raw = control->command_id + module_digits(module);
    return true;
}

// The raw form of a set by name: "float-voltage=53.5".
bool translate_set(const std::string &given, std::string &raw, std::string &why) {
    const size_t equals = given.find('=');
    if (equals == std::string::npos)
        return false;
    const catalogue::Parameter *parameter = catalogue::parameter_named(given.substr(0, equals));
    if (!parameter)
        return false;
    double value = 0.0;
    if (!protocol::read_decimal_number(given.substr(equals + 1), value)) {
        why = std::string(parameter->name) + ": expected a decimal number after '='";
        return false;
    }
    raw = std::string("{\"signal_id\": \"") + parameter->signal_id +
          "\", \"SetValue\": " + shortest_number(value) + "}";
    return true;
}

std::string control_name(const protocol::ControlRequest &request) {
    const catalogue::Control *control = catalogue::control_with_id(request.command_id);
    return std::string(control ? control->name : std::string(request.command_id)) + ":" +
           std::to_string(request.module);
}

// A control that switches off every module at once needs its confirmation.
CheckedRequest guard_control(std::string raw, const Confirmations &confirmed) {
    protocol::ControlRequest request;
    protocol::read_control_request(raw, request);
    if (request.command_id == catalogue::kModuleOffCommand && request.module == 0 &&
        !confirmed.all_modules)
        return {CheckedRequest::Refused, raw,
                control_name(request) + " switches every rectifier module off: add " +
                    confirmed.all_modules_hint + " to confirm"};
    return {CheckedRequest::Accepted, raw, ""};
}

// A value outside the plausible range of a known parameter needs its confirmation.
CheckedRequest guard_set(std::string raw, const Confirmations &confirmed) {
    protocol::SetRequest request;
    protocol::read_set_request(raw, request);
    const catalogue::Parameter *parameter = catalogue::parameter_with_id(request.signal_id);
    if (!parameter || confirmed.force ||
        (request.value >= parameter->low && request.value <= parameter->high))
        return {CheckedRequest::Accepted, raw, ""};
    return {CheckedRequest::Refused, raw,
            std::string(parameter->name) + " " + shortest_number(request.value) + " " +
                parameter->unit + " is outside " + shortest_number(parameter->low) + " to " +
                shortest_number(parameter->high) + " " + parameter->unit + ": add " +
                confirmed.force_hint + " to send it"};
}

} // namespace

std::string module_refusal(const std::string &raw, size_t modules, bool force,
                           const char *force_hint) {
    protocol::ControlRequest request;
    if (force || !protocol::read_control_request(raw, request) || request.module <= modules)
        return "";
    const std::string has = modules == 0   ? "no module"
                            : modules == 1 ? "module 1 only"
                                           : "modules 1 to " + std::to_string(modules);
    return control_name(request) + ": the power system has " + has + ": add " + force_hint +
           " to send it";
}

bool asks_confirmation(const std::string &reason) {
    const auto ends_with = [&reason](const std::string &tail) {
        return reason.size() >= tail.size() &&
               reason.compare(reason.size() - tail.size(), tail.size(), tail) == 0;
    };
    return ends_with(" to confirm") || ends_with(" to send it");
}

Confirmations command_line_confirmations(bool all_modules, bool force) {
    return {all_modules, force, "--all-modules", "--force"};
}

Confirmations mqtt_confirmations(bool all_modules, bool force) {
    return {all_modules, force, "\"all_modules\": true", "\"force\": true"};
}

// Fixed-point, as a person writes a setting: 70, 53.5, -2.
std::string shortest_number(double value) {
    char text[64];
    for (int decimals = 0; decimals <= 15; ++decimals) {
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        if (std::strtod(text, nullptr) == value)
            return text;
    }
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// A name is looked for first: "equalise:3" also has the raw form's length and a module address
// where the raw form has one.
CheckedRequest check_control(const std::string &given, const Confirmations &confirmed) {
    std::string raw, why;
    if (translate_control(given, raw, why))
        return guard_control(raw, confirmed);
    if (why.empty() && is_control_request(given))
        return guard_control(given, confirmed);
    return malformed(why, std::string(kControlNames) + " (see mpx23-host list), or " +
                              kControlRequestForm);
}

CheckedRequest check_set(const std::string &given, const Confirmations &confirmed) {
    if (is_set_request(given)) {
        const std::string stray = stray_set_keys(given);
        if (!stray.empty())
            return malformed(stray + "; expected " + kSetRequestForm, "");
        return guard_set(given, confirmed);
    }
    std::string raw, why;
    if (!translate_set(given, raw, why))
        return malformed(why,
                         std::string(kSetNames) + " (see mpx23-host list), or " + kSetRequestForm);
    return guard_set(raw, confirmed);
}

CheckedRequest check_set(const Json::Value &signal_id, const Json::Value &set_value,
                         const Confirmations &confirmed) {
    // Only a number can be a setting, and only a text an identifier or a name.
    if (!signal_id.isString() || !set_value.isNumeric() || set_value.isBool())
        return malformed("", kSetRequestForm);
    std::string id = signal_id.asString();
    if (const catalogue::Parameter *named = catalogue::parameter_named(id))
        id = named->signal_id;
    std::string raw;
    JsonWriter w(raw);
    w.object().key("SetValue");
    if (set_value.isUInt64())
        w.number(set_value.asUInt64());
    else if (set_value.isInt64())
        w.number(set_value.asInt64());
    else
        w.exact(set_value.asDouble());
    w.key("signal_id").text(id).end();
    if (!is_set_request(raw))
        return malformed("", kSetRequestForm);
    return guard_set(raw, confirmed);
}

} // namespace host
