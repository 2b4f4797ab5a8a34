// The wall clock as the host writes it.
#pragma once

#include <string>

namespace host {

// Local time, "YYYY-MM-DD HH:MM:SS": the history's and the terminal's.
std::string local_time_text();
// UTC with milliseconds, "2026-12-08T21:40:03.125Z": the broker's.
std::string utc_time_text();

} // namespace host
