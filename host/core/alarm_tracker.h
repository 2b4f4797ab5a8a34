// The driver reports the state of every enabled alarm in every round and keeps no state
// itself; the host turns those reports into transitions, each reported once.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace host {

class AlarmTracker {
public:
    // The transition a report makes: true raised, false cleared, nothing when the state is
    // unchanged. The first report of an alarm that is not active makes none.
    std::optional<bool> report(uint32_t data_id, const std::string &signal_id, bool active) {
        auto [it, first] = last.try_emplace({data_id, signal_id}, active);
        if (first)
            return active ? std::optional<bool>(true) : std::nullopt;
        if (it->second == active)
            return std::nullopt;
        it->second = active;
        return active;
    }

private:
    std::map<std::pair<uint32_t, std::string>, bool> last;
};

} // namespace host
