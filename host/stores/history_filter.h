// Which rows of the history a listing wants: one device, a span of stored times, the newest N.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace host {

struct HistoryFilter {
    std::optional<uint32_t> data_id;
    // Local times as the history stores them, "YYYY-MM-DD HH:MM:SS"; empty: unbounded. The
    // fixed width makes text order time order, so SQL compares them as they are.
    std::string since; // included
    std::string until; // excluded
    // The newest N rows that pass the rest, still listed oldest first; unset: every one.
    std::optional<unsigned> last;
    // Rows by their number, both bounds excluded; unset: unbounded. A long listing is read in
    // pages, each after the last row of the one before.
    std::optional<int64_t> after_row;
    std::optional<int64_t> before_row;
};

} // namespace host
