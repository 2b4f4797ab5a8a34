// The lines a device is polled over, all driven by the one event loop: a serial port, a TCP
// connection to a serial server, or the power-system simulator in the same process.
#pragma once

#include "host/common/device_config.h"

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host {

class Port {
public:
    // Told about what comes in, always from the event loop (never from within write()).
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void on_bytes(unsigned char *data, size_t len) = 0;
        // The port failed and is closed now.
        virtual void on_port_error(const std::string &what) = 0;
    };
    // Called with an empty text once the port is open, else with the reason.
    using Opened = std::function<void(const std::string &error)>;

    virtual ~Port() = default;
    virtual bool is_open() const = 0;
    // Opens the port; `done` runs later from the event loop, never from within this call.
    virtual void open(Opened done) = 0;
    // Queues the bytes; they go out in order without blocking the loop.
    virtual void write(const unsigned char *data, size_t len) = 0;
    virtual void close() = 0;
    virtual std::string name() const = 0;
};

// The port of `device`; `address` is the device address a simulator answers to.
std::unique_ptr<Port> make_port(boost::asio::io_context &io, const DeviceConfig &device,
                                unsigned address, Port::Listener &listener);

// The one port of several devices on a line (same port text), each at its address; the line's
// settings (baud rate) are the first device's. For the simulator: a bus of one simulated power
// system per device.
struct LineDevice {
    const DeviceConfig *config;
    unsigned address;
};
std::unique_ptr<Port> make_port(boost::asio::io_context &io, const std::vector<LineDevice> &devices,
                                Port::Listener &listener);

} // namespace host
