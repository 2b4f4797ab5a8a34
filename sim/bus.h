// Several power systems on one line, each at its own address: every command reaches all of
// them, and only the one it is addressed to answers (each simulator checks the address).
#pragma once

#include "sim/simulator.h"

#include <chrono>
#include <iosfwd>
#include <memory>
#include <vector>

namespace sim {

class Bus {
public:
    // Throws std::invalid_argument when two devices share an address.
    explicit Bus(const std::vector<Config> &devices);

    std::vector<Chunk> on_bytes(const uint8_t *data, size_t len);
    void advance_to(std::chrono::milliseconds since_start);
    void drop_partial();
    // Every device has reached its round limit.
    bool finished() const;
    void set_log(std::ostream *out);

    size_t size() const { return devices.size(); }
    Simulator &device(size_t i) { return *devices.at(i); }

private:
    std::vector<std::unique_ptr<Simulator>> devices;
};

} // namespace sim
