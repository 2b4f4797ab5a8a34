#include "sim/loopback.h"

namespace sim {

Loopback::Loopback(Simulator &s, kvo::HostServices *next_services)
    : answer([&s](const uint8_t *data, size_t len) { return s.on_bytes(data, len); }),
      forward(next_services), guard(*this) {}

Loopback::Loopback(Replay &replay, kvo::HostServices *next_services)
    : answer([&replay](const uint8_t *data, size_t len) { return replay.on_bytes(data, len); }),
      forward(next_services), guard(*this) {}

int Loopback::SendData(KVOSPDevice &dev, const unsigned char *data, unsigned len) {
    ++sent;
    if (forward)
        forward->SendData(dev, data, len);
    // Only queue here: the device is inside process() or a request of its own, and must not
    // be handed a reply before that returns.
    queue += joined(answer(data, len));
    return static_cast<int>(len);
}

int Loopback::pump(PMBusProtocol &dev, unsigned max_deliveries) {
    int accepted = 0;
    for (unsigned i = 0; i < max_deliveries && !queue.empty(); ++i) {
        std::string bytes;
        bytes.swap(queue);
        accepted += dev.process(reinterpret_cast<unsigned char *>(&bytes[0]),
                                static_cast<unsigned>(bytes.size()));
    }
    return accepted;
}

} // namespace sim
