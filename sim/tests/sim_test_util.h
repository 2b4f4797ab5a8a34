// Helpers for the simulator's tests: build commands, send them, and take the reply apart with
// the engine's own frame parser.
#pragma once

#include "hostlib/frame_codec.h"
#include "sim/simulator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

struct Reply {
    uint8_t ver = 0, adr = 0, cid1 = 0, rtn = 0xFF;
    std::vector<uint8_t> info;
};

inline std::string command(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info = {},
                           uint8_t adr = 1, uint8_t ver = 0x20) {
    return frame::encode(ver, adr, cid1, cid2, info.data(), info.size());
}

// The frames in `bytes`, in order, as frame::Receiver accepts them.
inline std::vector<Reply> frames_in(const std::string &bytes) {
    std::vector<Reply> out;
    frame::Receiver rx;
    for (unsigned char c : bytes) {
        if (rx.push(c) != frame::Receiver::Event::Frame)
            continue;
        const uint8_t *b = rx.binary();
        out.push_back({b[0], b[1], b[2], b[3], {b + 6, b + 6 + rx.info_len()}});
    }
    return out;
}

// Sends one command and returns the one reply frame it must produce.
inline Reply ask(sim::Simulator &s, uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info = {}) {
    const auto frames = frames_in(sim::joined(s.on_bytes(command(cid1, cid2, info))));
    EXPECT_EQ(frames.size(), 1u) << "command " << std::hex << int(cid1) << "/" << int(cid2);
    return frames.empty() ? Reply{} : frames[0];
}

inline uint16_t be16(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint16_t>(b.at(at) << 8 | b.at(at + 1));
}

// Readings that stay where a test puts them.
inline sim::Config frozen() {
    sim::Config c;
    c.drift = 0.0;
    return c;
}

constexpr uint8_t kAc = 0x40, kRc = 0x41, kDc = 0x42;
const std::vector<uint8_t> kAll{0xFF};

} // namespace simtest
