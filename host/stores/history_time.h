// The TIME of the history's --since and --until, read into the local time text the history
// stores, so that the selection compares like with like.
#pragma once

#include <ctime>
#include <string>

namespace host {

// What a TIME may be, for the message that refuses one.
extern const char *const kHistoryTimeForms;

// "2026-12-08", "2026-12-08T14:00", "2026-12-08 14:00:05", either of the last two with "Z" or
// an offset ("+01:00", "+0100", "-05"), which are converted to local time; or a span back from
// `now`: "90m", "2h", "7d" (also "30s"). Returns local "YYYY-MM-DD HH:MM:SS"; throws
// ConfigError naming `option` and the forms.
std::string history_time(const std::string &text, const std::string &option, std::time_t now);

} // namespace host
