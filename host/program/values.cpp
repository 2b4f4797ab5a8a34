#include "host/program/values.h"

#include "protocol/request_form.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace host {
namespace {

const unsigned kBaudRates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

bool plain_digits(const std::string &text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Digits with an optional fraction and exponent: no sign, blank, hexadecimal, "inf" or "nan",
// which strtod would take.
bool plain_decimal(const std::string &text) {
    return !text.empty() && text[0] != '+' && text[0] != '-' && protocol::is_decimal_number(text) &&
           text.find_first_of(" \t") == std::string::npos;
}

} // namespace

unsigned long to_whole(const std::string &text, unsigned long low, unsigned long high,
                       const std::string &what) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (!plain_digits(text) || errno != 0 || v < low || v > high)
        throw ConfigError(what + ": expected a whole number from " + std::to_string(low) + " to " +
                          std::to_string(high));
    return static_cast<unsigned long>(v);
}

double to_seconds(const std::string &text, const std::string &what, const DurationRange &range) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (!plain_decimal(text) || *end != '\0' || !in_range(v, range))
        throw ConfigError(what + ": " + range_text(range));
    return v;
}

bool in_range(double v, const DurationRange &range) {
    return std::isfinite(v) && v >= range.low && v <= range.high;
}

std::string range_text(const DurationRange &range) {
    char text[80];
    std::snprintf(text, sizeof text, "expected a number of seconds from %g to %g", range.low,
                  range.high);
    return text;
}

bool known_baud(unsigned baud) {
    return std::find(std::begin(kBaudRates), std::end(kBaudRates), baud) != std::end(kBaudRates);
}

std::string baud_list() {
    std::string out;
    for (unsigned b : kBaudRates)
        out += (out.empty() ? "" : ", ") + std::to_string(b);
    return out;
}

} // namespace host
