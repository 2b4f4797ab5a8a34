#include "sim/bus.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace sim {

Bus::Bus(const std::vector<Config> &configs) {
    for (const auto &c : configs) {
        const bool taken = std::any_of(configs.begin(), configs.begin() + devices.size(),
                                       [&](const Config &o) { return o.address == c.address; });
        if (taken)
            throw std::invalid_argument("address " + std::to_string(c.address) +
                                        " is given twice on one line");
        devices.push_back(std::make_unique<Simulator>(c));
    }
}

// A command addressed to one device gets one answer; the others stay silent.
std::vector<Chunk> Bus::on_bytes(const uint8_t *data, size_t len) {
    std::vector<Chunk> out;
    for (auto &d : devices) {
        auto reply = d->on_bytes(data, len);
        out.insert(out.end(), reply.begin(), reply.end());
    }
    return out;
}

void Bus::advance_to(std::chrono::milliseconds since_start) {
    for (auto &d : devices)
        d->advance_to(since_start);
}

void Bus::drop_partial() {
    for (auto &d : devices)
        d->drop_partial();
}

bool Bus::finished() const {
    return std::all_of(devices.begin(), devices.end(), [](const auto &d) { return d->finished(); });
}

void Bus::set_log(std::ostream *out) {
    for (auto &d : devices)
        d->set_log(out);
}

} // namespace sim
