// The wall clock as the host writes it.
#pragma once

#include <string>

namespace host {

// Local time, "YYYY-MM-DD HH:MM:SS": the history's and the terminal's.
std::string local_time_text();
// UTC with milliseconds, "2026-12-08T21:40:03.125Z": the broker's.
std::string utc_time_text();
// The same of a time in seconds since the epoch.
std::string iso_utc_time(double epoch_seconds);

// A local "YYYY-MM-DD HH:MM:SS" (as the history stores it and the driver's time records read)
// in ISO 8601 with the offset local time had then: "2026-12-08T14:54:04+01:00". A text that is
// no such time, a UTC time ending in "Z" among them, comes back as it is.
std::string iso_local_time(const std::string &local_text);

} // namespace host
