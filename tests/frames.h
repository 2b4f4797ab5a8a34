// Builders of reply frames for tests.
#pragma once

#include "hostlib/frame_codec.h"

#include <cstdint>
#include <string>
#include <vector>

namespace frames {

// A reply of group `cid1` with RTN `rtn`, as the power system puts it on the wire.
inline std::string reply(uint8_t cid1, const std::vector<uint8_t> &info, uint8_t rtn = 0,
                         uint8_t adr = 1, uint8_t ver = 0x20) {
    return frame::encode(ver, adr, cid1, rtn, info.data(), info.size());
}

inline std::vector<unsigned char> bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

} // namespace frames
