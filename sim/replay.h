// A recorded line played back: the power system's side of a capture. Each command that comes
// in is answered with the reply recorded for the same address and command (CID1, CID2), the
// next one of those in recorded order, with the pauses recorded before its pieces or paced at
// the baud rate. A recorded command that got no answer is answered with silence again; a
// command the capture holds no (further) exchange for is reported and left unanswered.
#pragma once

#include "capture/format.h"
#include "hostlib/frame_codec.h"
#include "sim/chunk.h"

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace sim {

class Replay {
public:
    enum class Timing { Recorded, Paced };

    // The exchanges of `port` in `capture` (empty: the port of the first record).
    Replay(const std::vector<capture::CaptureRecord> &capture, Timing timing = Timing::Recorded,
           unsigned baud = 9600, const std::string &port = "");

    Chunks on_bytes(const uint8_t *data, size_t len);

    size_t exchanges() const { return recorded; }
    // Recorded exchanges not played yet.
    size_t remaining() const;
    // Commands that came with no recorded reply left, as "ADR 01 CID1 40 CID2 42".
    const std::vector<std::string> &unanswered() const { return missing; }
    void set_log(std::ostream *out) { log = out; }

private:
    using Key = std::tuple<uint8_t, uint8_t, uint8_t>; // ADR, CID1, CID2
    struct Exchange {
        Chunks reply;
    };

    void add_command(const std::string &bytes, uint64_t time_us);
    Chunks answer(const Key &key);

    std::map<Key, std::deque<Exchange>> by_command;
    size_t recorded = 0;
    Exchange *building = nullptr;
    uint64_t last_time_us = 0;
    frame::Receiver receiver;
    std::vector<std::string> missing;
    std::ostream *log = nullptr;
};

} // namespace sim
