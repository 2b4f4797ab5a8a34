// A storage trouble (a full disk, a file-size limit, a read-only file system) as one episode:
// told when it starts and when it ends, however the attempts in between go. Near a size limit a
// small record may still fit where a large one does not; such a success does not end the
// episode. It ends with the first success after attempts have gone through for a calm time
// without one failing.
#pragma once

#include <chrono>
#include <functional>
#include <utility>

class TroubleEpisode {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;
    static constexpr Clock::duration kCalm = std::chrono::seconds(10);

    explicit TroubleEpisode(Now now = {}, Clock::duration calm = kCalm)
        : now(now ? std::move(now) : Now(&Clock::now)), calm(calm) {}

    // An attempt failed, losing `lost` records: true when this starts an episode, to be told.
    bool failed(unsigned long lost = 1) {
        lost_count += lost;
        last_failure = now();
        if (active)
            return false;
        active = true;
        return true;
    }

    // An attempt went through: true when this ends the episode, to be told with take_lost().
    bool succeeded() {
        if (!active)
            return false;
        if (now() - last_failure < calm)
            return false;
        active = false;
        return true;
    }

    bool in_trouble() const { return active; }
    // Attempts that failed in the episode; counting starts again after it is taken.
    unsigned long take_lost() {
        const unsigned long n = lost_count;
        lost_count = 0;
        return n;
    }

private:
    Now now;
    Clock::duration calm;
    bool active = false;
    unsigned long lost_count = 0;
    Clock::time_point last_failure{};
};
