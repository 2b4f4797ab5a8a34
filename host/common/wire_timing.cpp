#include "host/common/wire_timing.h"

#include "hostlib/frame_codec.h"
#include "protocol/codes.h"

#include <algorithm>

namespace host {
namespace {

constexpr double kTurnaround = 0.25; // seconds the power system may take before answering
constexpr double kShortestTimeout = 0.5;
constexpr unsigned kBitsPerCharacter = 10; // start, 8 data, stop

} // namespace

double wire_seconds(size_t bytes, unsigned baud) {
    return static_cast<double>(bytes) * kBitsPerCharacter / (baud ? baud : 9600);
}

double largest_reply_seconds(unsigned baud) {
    return wire_seconds(frame::encoded_size(protocol::kLargestReplyInfo), baud);
}

double default_timeout(unsigned baud) {
    return std::max(kShortestTimeout, largest_reply_seconds(baud) + kTurnaround);
}

double quiet_guard(unsigned baud) {
    return kTurnaround + largest_reply_seconds(baud);
}

} // namespace host
