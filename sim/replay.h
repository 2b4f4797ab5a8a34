// A recorded line played back: the power system's side of a capture. Each command that comes
// in is answered with the reply recorded for the same address and command (CID1, CID2), the
// next one of those in recorded order, with the pauses recorded before its pieces or paced at
// the baud rate. A recorded command that got no answer is answered with silence again; a
// command the capture holds no exchange for is reported and left unanswered.
//
// The capture ends when every exchange has been played, or when a command comes whose recorded
// exchanges have all been played (the controller asks for more than was recorded). Then the
// replay says so once and answers nothing more, or, told to loop, starts over from the first
// exchange, saying so at most once a minute.
#pragma once

#include "capture/format.h"
#include "hostlib/frame_codec.h"
#include "sim/chunk.h"

#include <chrono>
#include <cstdint>
#include <functional>
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

    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    Chunks on_bytes(const uint8_t *data, size_t len);

    size_t exchanges() const { return recorded; }
    // Recorded exchanges not played yet in this pass; none once the replay is over.
    size_t remaining() const { return over ? 0 : recorded - played; }
    // Commands that came before the end with no recorded reply, as "ADR 01 CID1 40 CID2 42".
    const std::vector<std::string> &unanswered() const { return missing; }
    // Commands that came after the end, unanswered (never while looping).
    size_t after_end() const { return late; }
    bool ended() const { return over; }
    // Passes played to their end (while looping, the count of starts over).
    unsigned passes() const { return ends; }
    // What was played, for the end of the program.
    std::string summary() const;
    void set_log(std::ostream *out) { log = out; }
    // Start over at the end; `now` rates the notices.
    void set_loop(bool on, Clock now = std::chrono::steady_clock::now);

private:
    using Key = std::tuple<uint8_t, uint8_t, uint8_t>; // ADR, CID1, CID2
    struct Exchange {
        Chunks reply;
    };
    struct Recorded {
        std::vector<Exchange> exchanges; // in recorded order
        size_t next = 0;                 // the one the next such command gets
    };

    void add_command(const std::string &bytes, uint64_t time_us);
    Chunks answer(const Key &key);
    // The end of a pass: told, and either the last or the start of the next.
    void reach_end();
    void tell_end();

    std::map<Key, Recorded> by_command;
    size_t recorded = 0;
    size_t played = 0;          // in this pass
    size_t missing_in_pass = 0; // commands without a recorded reply in this pass
    Key building{};
    bool has_building = false;
    uint64_t last_time_us = 0;
    frame::Receiver receiver;
    std::vector<std::string> missing;
    size_t late = 0;
    bool over = false;
    unsigned ends = 0;
    bool loop = false;
    Clock clock;
    std::chrono::steady_clock::time_point last_notice{};
    unsigned untold = 0; // passes ended since the last notice, not told
    std::ostream *log = nullptr;
};

} // namespace sim
