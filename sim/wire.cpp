#include "sim/wire.h"

#include "hostlib/frame_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim {
namespace {

constexpr size_t kInfoStart = 13; // SOI and the twelve header characters
constexpr size_t kTrailer = 5;    // four CHKSUM characters and EOI

uint16_t clamp16(double v) {
    return static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
}

} // namespace

std::string encode_reply(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t rtn, const Info &info) {
    std::string out = frame::encode(ver, adr, cid1, rtn, info.bytes.data(), info.size());
    bool any_fill = false;
    for (size_t i = 0; i < info.size() && i < info.fill.size(); ++i) {
        if (!info.fill[i])
            continue;
        out[kInfoStart + 2 * i] = ' ';
        out[kInfoStart + 2 * i + 1] = ' ';
        any_fill = true;
    }
    if (any_fill)
        reseal(out);
    return out;
}

void reseal(std::string &frame) {
    if (frame.size() < frame::encoded_size(0))
        return;
    const size_t end = frame.size() - kTrailer;
    const uint16_t sum = frame::checksum(frame.data() + 1, end - 1);
    char hex[5];
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(sum));
    frame.replace(end, 4, hex);
}

uint16_t hundredths(double v) {
    return clamp16(v * 100.0);
}
uint16_t whole(double v) {
    return clamp16(v);
}

} // namespace sim
