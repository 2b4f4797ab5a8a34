// How long a device in lost communication waits between tries on a shared line, so that a dead
// device does not take the turns of the living: after each failed try the wait doubles, 2, 4, 8
// and at most 16 of its intervals; a good reply ends it at once.
#pragma once

#include <algorithm>

namespace host {

class BackOff {
public:
    static constexpr unsigned kLongest = 16; // intervals

    void failed() {
        wait = std::min(wait * 2, kLongest);
        to_skip = wait - 1;
    }
    void succeeded() {
        wait = 1;
        to_skip = 0;
    }
    // An interval's tick: true when it passes without a try.
    bool skip_tick() {
        if (to_skip == 0)
            return false;
        --to_skip;
        return true;
    }

private:
    unsigned wait = 1;    // intervals from one try to the next
    unsigned to_skip = 0; // ticks left of the current wait
};

} // namespace host
