// The form of the host's command requests, judged the same wherever a request is checked:
//
//   parameter setting (code 310)  {"signal_id": "4196A3201001", "SetValue": 53.5}
//                                 "SetValue" a JSON number, or a text holding one decimal number
//   remote control (code 320)     "419500200002": the identifier, then the module address
//
// Only the form. Whether an identifier is known is for identifiers.h's tables, whether a value
// fits its command for the driver. A text is read whole or not at all: hexadecimal ("0x20"),
// "inf", "nan" and trailing words ("53.5 volts") are refused rather than read as far as they go.
#pragma once

#include "protocol/identifiers.h"

#include <json/reader.h>
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

namespace protocol {

namespace form {

constexpr bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
constexpr bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
constexpr size_t skip_digits(std::string_view text, size_t at) {
    while (at < text.size() && is_digit(text[at]))
        ++at;
    return at;
}
constexpr size_t skip_sign(std::string_view text, size_t at) {
    return at < text.size() && (text[at] == '+' || text[at] == '-') ? at + 1 : at;
}
constexpr std::string_view without_blanks_around(std::string_view text) {
    size_t first = 0, end = text.size();
    while (first < end && is_blank(text[first]))
        ++first;
    while (end > first && is_blank(text[end - 1]))
        --end;
    return text.substr(first, end - first);
}

} // namespace form

// Whether `text` is one complete decimal number: an optional sign, digits with an optional
// fraction (at least one digit in all), an optional exponent (e or E, optional sign, digits),
// and nothing else but blanks (space, tab) around it.
constexpr bool is_decimal_number(std::string_view text) {
    const std::string_view number = form::without_blanks_around(text);
    size_t at = form::skip_sign(number, 0);
    const size_t whole_start = at;
    at = form::skip_digits(number, at);
    size_t digits = at - whole_start;
    if (at < number.size() && number[at] == '.') {
        const size_t fraction_start = ++at;
        at = form::skip_digits(number, at);
        digits += at - fraction_start;
    }
    if (digits == 0)
        return false;
    if (at < number.size() && (number[at] == 'e' || number[at] == 'E')) {
        const size_t exponent_start = form::skip_sign(number, at + 1);
        at = form::skip_digits(number, exponent_start);
        if (at == exponent_start)
            return false;
    }
    return at == number.size();
}

// The same test; when it holds, `value` is the number.
inline bool read_decimal_number(std::string_view text, double &value) {
    if (!is_decimal_number(text))
        return false;
    value = std::strtod(std::string(form::without_blanks_around(text)).c_str(), nullptr);
    return true;
}

// "SetValue": a JSON number as it is, a text when it holds one decimal number.
inline bool read_set_value(const Json::Value &set_value, double &value) {
    if (set_value.isNumeric()) {
        value = set_value.asDouble();
        return true;
    }
    return set_value.isString() && read_decimal_number(set_value.asString(), value);
}

struct SetRequest {
    std::string signal_id;
    double value = 0.0;
};

// A parameter setting: a JSON object (comments allowed, other members ignored) whose
// "signal_id" is a text that is not empty and whose "SetValue" read_set_value takes.
inline bool read_set_request(const std::string &text, SetRequest &request) {
    try {
        Json::Value parsed;
        Json::Reader reader;
        if (!reader.parse(text, parsed, true) || !parsed.isObject())
            return false;
        const Json::Value &root = parsed; // const: a missing member reads as null, none inserted
        const Json::Value &id = root["signal_id"];
        if (!id.isString() || id.asString().empty() ||
            !read_set_value(root["SetValue"], request.value))
            return false;
        request.signal_id = id.asString();
        return true;
    } catch (const std::exception &) {
        return false; // nesting past the reader's limit, or no memory for the text
    }
}

inline bool is_set_request(const std::string &text) {
    SetRequest request;
    return read_set_request(text, request);
}

// The module address of a remote control: one to three decimal digits, 0 to 255 (0: every
// module). Blanks, signs and any other character are refused.
constexpr bool read_module_address(std::string_view digits, uint8_t &module) {
    if (digits.empty() || digits.size() > 3 || form::skip_digits(digits, 0) != digits.size())
        return false;
    unsigned value = 0;
    for (char c : digits)
        value = 10 * value + static_cast<unsigned>(c - '0');
    if (value > 255)
        return false;
    module = static_cast<uint8_t>(value);
    return true;
}

struct ControlRequest {
    std::string_view command_id; // the first kControlIdLength characters of the request
    uint8_t module = 0;
};

// A remote control: exactly kControlIdLength characters of identifier, then the module
// address. `request.command_id` points into `text`.
constexpr bool read_control_request(std::string_view text, ControlRequest &request) {
    if (text.size() <= kControlIdLength ||
        !read_module_address(text.substr(kControlIdLength), request.module))
        return false;
    request.command_id = text.substr(0, kControlIdLength);
    return true;
}

constexpr bool is_control_request(std::string_view text) {
    ControlRequest request;
    return read_control_request(text, request);
}

} // namespace protocol
