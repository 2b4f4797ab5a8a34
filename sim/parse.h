// Small text parsers shared by the fault rules, the scenario events and the command line.
// Each throws std::invalid_argument naming what it was reading.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

inline unsigned long to_unsigned(const std::string &text, unsigned long low, unsigned long high,
                                 const std::string &what, int base = 10) {
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, base);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v < low || v > high)
        throw std::invalid_argument(what + ": expected a whole number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", got \"" + text + "\"");
    return v;
}

inline double to_double(const std::string &text, double low, double high, const std::string &what) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= low && v <= high))
        throw std::invalid_argument(what + ": expected a number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", got \"" + text + "\"");
    return v;
}

inline std::vector<std::string> split_list(const std::string &text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(sep, start);
        out.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return out;
        start = end + 1;
    }
}

} // namespace sim
