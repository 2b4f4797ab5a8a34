// The numbers options and configuration keys hold, and the texts that say what was expected:
// one reading for the command line, the configuration file and the broker's keys, so that a
// value is held to the same range and refused with the same words wherever it is given.
#pragma once

#include "host/common/device_config.h"

#include <string>

namespace host {

// A whole number in decimal digits from `low` to `high`; throws ConfigError naming `what`.
unsigned long to_whole(const std::string &text, unsigned long low, unsigned long high,
                       const std::string &what);

// A number of seconds within `range`; throws ConfigError naming `what`.
double to_seconds(const std::string &text, const std::string &what, const DurationRange &range);

bool in_range(double v, const DurationRange &range);
std::string range_text(const DurationRange &range); // "expected a number of seconds from ..."

// The line speeds a serial port can be set to.
bool known_baud(unsigned baud);
std::string baud_list(); // "300, 600, ..."

} // namespace host
