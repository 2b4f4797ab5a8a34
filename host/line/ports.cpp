#include "host/line/ports.h"

#include "sim/bus.h"
#include "sim/scenario_file.h"
#include "sim/simulator.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <deque>

namespace host {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;

// A port the user may not open is the group's to give: serial ports belong to dialout on
// Debian and OpenWrt.
std::string group_hint(const std::string &path) {
    struct stat st {};
    const group *g = ::stat(path.c_str(), &st) == 0 ? ::getgrgid(st.st_gid) : nullptr;
    const std::string name = g ? g->gr_name : "dialout";
    return " (the port belongs to the group " + name +
           ": the host's user needs to be a member, "
           "as the packaged service's user is of dialout)";
}

// Reading and writing shared by the serial port and the TCP connection. Every handler checks
// the generation it was started in, so that nothing of a closed connection touches a new one.
template <class Stream> class StreamPort : public Port {
public:
    StreamPort(asio::io_context &io, Listener &listener) : io(io), stream(io), listener(listener) {}

    bool is_open() const override { return stream.is_open(); }

    void write(const unsigned char *data, size_t len) override {
        if (!stream.is_open())
            return;
        outgoing.emplace_back(reinterpret_cast<const char *>(data), len);
        if (outgoing.size() == 1)
            write_front();
    }

    void close() override {
        ++generation;
        error_code ignored;
        stream.close(ignored);
        outgoing.clear();
    }

protected:
    void start_reading() {
        stream.async_read_some(asio::buffer(incoming),
                               [this, gen = generation](error_code ec, size_t n) {
                                   if (gen != generation)
                                       return;
                                   if (ec)
                                       return fail("read: " + ec.message());
                                   listener.on_bytes(incoming.data(), n);
                                   if (gen == generation)
                                       start_reading();
                               });
    }

    void ready(const Opened &done, const std::string &error) {
        if (error.empty())
            start_reading();
        asio::post(io, [done, error] { done(error); });
    }

    asio::io_context &io;
    Stream stream;

private:
    void write_front() {
        asio::async_write(stream, asio::buffer(outgoing.front()),
                          [this, gen = generation](error_code ec, size_t) {
                              if (gen != generation)
                                  return;
                              if (ec)
                                  return fail("write: " + ec.message());
                              outgoing.pop_front();
                              if (!outgoing.empty())
                                  write_front();
                          });
    }

    void fail(const std::string &what) {
        close();
        listener.on_port_error(what);
    }

    Listener &listener;
    std::array<unsigned char, 512> incoming{};
    std::deque<std::string> outgoing;
    unsigned generation = 0;
};

// 8 data bits, no parity, 1 stop bit, no flow control.
class SerialPort : public StreamPort<asio::serial_port> {
public:
    SerialPort(asio::io_context &io, Listener &l, std::string path, unsigned baud)
        : StreamPort(io, l), path(std::move(path)), baud(baud) {}

    void open(Opened done) override {
        using sp = asio::serial_port_base;
        error_code ec;
        stream.open(path, ec);
        if (!ec)
            stream.set_option(sp::baud_rate(baud), ec);
        if (!ec)
            stream.set_option(sp::character_size(8), ec);
        if (!ec)
            stream.set_option(sp::parity(sp::parity::none), ec);
        if (!ec)
            stream.set_option(sp::stop_bits(sp::stop_bits::one), ec);
        if (!ec)
            stream.set_option(sp::flow_control(sp::flow_control::none), ec);
        std::string why = ec ? ec.message() : "";
        // Beside the lock files, the device itself: programs that lock the device rather than
        // write a lock file see it taken too.
        if (!ec && ::flock(stream.native_handle(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
            why = "in use by another program (it holds a lock on the device)";
        if (ec == boost::system::errc::permission_denied)
            why += group_hint(path);
        if (!why.empty())
            close();
        ready(done, why);
    }

    std::string name() const override { return path; }

private:
    std::string path;
    unsigned baud;
};

class TcpPort : public StreamPort<asio::ip::tcp::socket> {
public:
    TcpPort(asio::io_context &io, Listener &l, std::string host, uint16_t port)
        : StreamPort(io, l), resolver(io), host(std::move(host)), port(port) {}

    void open(Opened done) override {
        resolver.async_resolve(
            host, std::to_string(port),
            [this, done](error_code ec, asio::ip::tcp::resolver::results_type found) {
                if (ec)
                    return done(ec.message());
                asio::async_connect(stream, found,
                                    [this, done](error_code ec, const asio::ip::tcp::endpoint &) {
                                        if (!ec)
                                            stream.set_option(asio::ip::tcp::no_delay(true), ec);
                                        if (ec)
                                            close();
                                        ready(done, ec ? ec.message() : "");
                                    });
            });
    }

    std::string name() const override { return "tcp:" + host + ":" + std::to_string(port); }

private:
    asio::ip::tcp::resolver resolver;
    std::string host;
    uint16_t port;
};

// The simulator in this process: one power system per device on the line, each at its own
// address. Its replies come as chunks, each after a pause; they are
// handed over when their time has come, as a line would deliver them.
class SimPort : public Port {
public:
    using Clock = std::chrono::steady_clock;

    SimPort(asio::io_context &io, Listener &listener, const std::vector<sim::Config> &configs)
        : io(io), timer(io), listener(listener), simulator(configs), start(Clock::now()) {}

    bool is_open() const override { return opened; }

    void open(Opened done) override {
        opened = true;
        simulator.drop_partial();
        asio::post(io, [done] { done(""); });
    }

    void write(const unsigned char *data, size_t len) override {
        if (!opened)
            return;
        simulator.advance_to(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
        const auto now = Clock::now();
        Clock::time_point due = std::max(now, last_due);
        for (const auto &chunk : simulator.on_bytes(data, len)) {
            due += chunk.delay_before;
            pending.push_back({due, chunk.bytes});
        }
        last_due = due;
        arm();
    }

    void close() override {
        opened = false;
        ++generation;
        pending.clear();
        timer.cancel();
        armed = false;
    }

    std::string name() const override { return "simulator"; }

private:
    struct Pending {
        Clock::time_point due;
        std::string bytes;
    };

    void arm() {
        if (armed || pending.empty())
            return;
        armed = true;
        timer.expires_at(pending.front().due);
        timer.async_wait([this, gen = generation](error_code ec) {
            if (ec || gen != generation)
                return;
            armed = false;
            deliver_due();
        });
    }

    void deliver_due() {
        const unsigned gen = generation;
        while (!pending.empty() && pending.front().due <= Clock::now()) {
            std::string bytes = std::move(pending.front().bytes);
            pending.pop_front();
            listener.on_bytes(reinterpret_cast<unsigned char *>(&bytes[0]), bytes.size());
            if (gen != generation)
                return;
        }
        arm();
    }

    asio::io_context &io;
    asio::steady_timer timer;
    Listener &listener;
    sim::Bus simulator;
    Clock::time_point start;
    Clock::time_point last_due{};
    std::deque<Pending> pending;
    bool opened = false;
    bool armed = false;
    unsigned generation = 0;
};

sim::Config simulator_config(const DeviceConfig &device, unsigned address) {
    sim::Config config;
    if (!device.sim.isNull())
        sim::load_scenario(config, device.sim); // checked when the configuration was read
    config.address = static_cast<uint8_t>(address);
    config.baud = device.baud;
    return config;
}

} // namespace

std::unique_ptr<Port> make_port(asio::io_context &io, const DeviceConfig &device, unsigned address,
                                Port::Listener &listener) {
    return make_port(io, {{&device, address}}, listener);
}

std::unique_ptr<Port> make_port(asio::io_context &io, const std::vector<LineDevice> &devices,
                                Port::Listener &listener) {
    const DeviceConfig &device = *devices.at(0).config;
    const PortLocation &where = device.port_location;
    switch (where.kind) {
    case PortLocation::Kind::Serial:
        return std::make_unique<SerialPort>(io, listener, where.path, device.baud);
    case PortLocation::Kind::Tcp:
        return std::make_unique<TcpPort>(io, listener, where.path, where.tcp_port);
    case PortLocation::Kind::Sim:
        break;
    }
    std::vector<sim::Config> configs;
    for (const auto &d : devices)
        configs.push_back(simulator_config(*d.config, d.address));
    return std::make_unique<SimPort>(io, listener, configs);
}

} // namespace host
