#include "sim/replay.h"

#include "sim/faults.h"

#include <cstdio>
#include <ostream>

namespace sim {
namespace {

using std::chrono::microseconds;

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
        } else if (building) {
            const auto gap = r.time_us >= last_time_us ? r.time_us - last_time_us : 0;
            building->reply.push_back({r.bytes, timing == Timing::Paced
                                                    ? microseconds(byte_time(baud) * r.bytes.size())
                                                    : microseconds(static_cast<long long>(gap))});
        }
        last_time_us = r.time_us;
    }
    building = nullptr;
}

// A write the controller made: the replies that follow it, up to its next write, answer it.
// A write that holds no whole command (a cut frame) ends the exchange before it.
void Replay::add_command(const std::string &bytes, uint64_t time_us) {
    frame::Receiver rx;
    building = nullptr;
    for (unsigned char c : bytes) {
        if (rx.push(c) != frame::Receiver::Event::Frame)
            continue;
        const uint8_t *b = rx.binary();
        auto &queue = by_command[Key{b[1], b[2], b[3]}];
        queue.push_back({});
        building = &queue.back();
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
    auto found = by_command.find(key);
    if (found == by_command.end() || found->second.empty()) {
        const std::string text = key_text(std::get<0>(key), std::get<1>(key), std::get<2>(key));
        missing.push_back(text);
        if (log)
            *log << "replay: no recorded reply for " << text << '\n';
        return {};
    }
    Chunks reply = std::move(found->second.front().reply);
    found->second.pop_front();
    return reply;
}

size_t Replay::remaining() const {
    size_t left = 0;
    for (const auto &[key, queue] : by_command)
        left += queue.size();
    return left;
}

} // namespace sim
