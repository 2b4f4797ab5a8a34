// What the power system puts on the line in answer to one command: one or more pieces of
// bytes, each after a pause. A host event loop honours the pauses; a test may ignore them.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace sim {

struct Chunk {
    std::string bytes;
    std::chrono::microseconds delay_before{0};
};

using Chunks = std::vector<Chunk>;

// All bytes of `chunks` in order, pauses dropped.
inline std::string joined(const Chunks &chunks) {
    std::string out;
    for (const auto &c : chunks)
        out += c.bytes;
    return out;
}

} // namespace sim
