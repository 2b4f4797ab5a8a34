#include "sim/replay.h"

#include "sim/faults.h"

#include <cstdio>
#include <ostream>

namespace sim {
namespace {

using std::chrono::microseconds;

// While looping, a short capture ends often: a notice at most this often, the passes between
// counted in it.
constexpr auto kLoopNoticeInterval = std::chrono::minutes(1);

std::string key_text(uint8_t adr, uint8_t cid1, uint8_t cid2) {
    char text[40];
    std::snprintf(text, sizeof text, "ADR %02X CID1 %02X CID2 %02X", adr, cid1, cid2);
    return text;
}

} // namespace

Replay::Replay(const std::vector<capture::CaptureRecord> &capture, Timing timing, unsigned baud,
               const std::string &port) {
    // The timing is settled here, once per reply piece: nothing else needs it later.
    const std::string line = port.empty() && !capture.empty() ? capture.front().port : port;
    for (const auto &r : capture) {
        if (r.port != line)
            continue;
        if (r.direction == capture::CaptureRecord::Direction::Sent) {
            add_command(r.bytes, r.time_us);
        } else if (has_building) {
            const auto gap = r.time_us >= last_time_us ? r.time_us - last_time_us : 0;
            by_command[building].exchanges.back().reply.push_back(
                {r.bytes, timing == Timing::Paced ? microseconds(byte_time(baud) * r.bytes.size())
                                                  : microseconds(static_cast<long long>(gap))});
        }
        last_time_us = r.time_us;
    }
    has_building = false;
}

void Replay::set_loop(bool on, Clock now) {
    loop = on;
    clock = std::move(now);
}

// A write the controller made: the replies that follow it, up to its next write, answer it.
// A write that holds no whole command (a cut frame) ends the exchange before it.
void Replay::add_command(const std::string &bytes, uint64_t time_us) {
    frame::Receiver rx;
    has_building = false;
    for (unsigned char c : bytes) {
        if (rx.push(c) != frame::Receiver::Event::Frame)
            continue;
        const uint8_t *b = rx.binary();
        building = Key{b[1], b[2], b[3]};
        by_command[building].exchanges.push_back({});
        has_building = true;
        ++recorded;
    }
    last_time_us = time_us;
}

Chunks Replay::on_bytes(const uint8_t *data, size_t len) {
    Chunks out;
    for (size_t i = 0; i < len; ++i) {
        if (receiver.push(data[i]) != frame::Receiver::Event::Frame)
            continue;
        const uint8_t *b = receiver.binary();
        for (auto &chunk : answer(Key{b[1], b[2], b[3]}))
            out.push_back(std::move(chunk));
    }
    return out;
}

Chunks Replay::answer(const Key &key) {
    if (over) {
        ++late;
        return {};
    }
    auto found = by_command.find(key);
    if (found == by_command.end()) {
        const std::string text = key_text(std::get<0>(key), std::get<1>(key), std::get<2>(key));
        missing.push_back(text);
        ++missing_in_pass;
        if (log)
            *log << "replay: no recorded reply for " << text << '\n';
        return {};
    }
    Recorded &queue = found->second;
    if (queue.next == queue.exchanges.size()) {
        reach_end(); // this command asks past the capture
        if (over) {
            ++late;
            return {};
        }
    }
    Chunks reply = queue.exchanges[queue.next++].reply;
    if (++played == recorded)
        reach_end();
    return reply;
}

void Replay::reach_end() {
    ++ends;
    tell_end();
    if (!loop) {
        over = true;
        return;
    }
    played = 0;
    missing_in_pass = 0;
    for (auto &entry : by_command)
        entry.second.next = 0;
}

void Replay::tell_end() {
    const auto now = clock ? clock() : std::chrono::steady_clock::time_point{};
    if (loop && ends > 1 && now - last_notice < kLoopNoticeInterval) {
        ++untold;
        return;
    }
    last_notice = now;
    if (!log)
        return;
    *log << "replay: end of capture";
    if (loop)
        *log << ", pass " << ends;
    *log << ": " << played << " of " << recorded << " exchanges played, " << missing_in_pass
         << " commands without a recorded reply";
    if (untold > 0)
        *log << " (" << untold << " passes ended since the last notice)";
    *log << (loop ? "; starting over\n" : "; answering nothing more\n");
    untold = 0;
}

std::string Replay::summary() const {
    const std::string unanswered_text =
        std::to_string(missing.size()) + " commands without a recorded reply";
    if (over)
        return "replay: ended, " + unanswered_text + " before the end, " + std::to_string(late) +
               " after it";
    const std::string pass = ends > 0 ? " in pass " + std::to_string(ends + 1) : "";
    return "replay: " + std::to_string(played) + " of " + std::to_string(recorded) +
           " exchanges played" + pass + ", " + unanswered_text;
}

} // namespace sim
