// One open line shared by every device configured on the same port (a serial path, a serial
// server, or the built-in simulator). The line carries one exchange at a time: the device that
// holds it sends its commands and reads their replies (or their time-outs) while the others
// wait in turn. A device holds the line for one round, or one control request, then queues
// again behind the others, so that turns go round device by device.
//
// A line that cannot keep up (the last turn of every device adds up to more than the shortest
// interval) stretches its rounds evenly over its devices; it says so once, with the figures,
// and again once a cycle fits in the interval with a tenth to spare. The turns of a device whose
// exchange failed do not count: a silent device is told of as silent, not as load.
//
// Settling lives here: after a failed exchange (the holder asks for it) or bytes nobody asked
// for, what arrives is discarded until the line has been quiet for a guard time, for at most a
// few guard times, so that a late reply never passes for the answer to the next command.
#pragma once

#include "capture/writer.h"
#include "host/common/device_config.h"
#include "host/common/events.h"
#include "host/line/ports.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace host {

// A device on a line, as the line sees it.
class LineMember {
public:
    virtual uint32_t data_id() const = 0;
    virtual bool finished() const = 0;
    // Its turn has come.
    virtual void next_step() = 0;
    // While it holds the line and the line is not settling.
    virtual void on_bytes(unsigned char *data, size_t len) = 0;
    virtual void on_port_error(const std::string &what) = 0;
    // The line it settled while holding has been quiet for the guard time.
    virtual void line_quiet() = 0;
    // Its last exchange went unanswered: the line's time went on waiting, not on load.
    virtual bool last_exchange_failed() const = 0;

protected:
    ~LineMember() = default;
};

class Line : public Port::Listener {
public:
    using Clock = std::chrono::steady_clock;

    Line(boost::asio::io_context &io, Events &events, std::string name);
    ~Line() override;

    // Before the first open: a device on this line, at `address`.
    void join(LineMember &member, const DeviceConfig &config, unsigned address);
    // The device is done; the port closes when the last one leaves.
    void leave(LineMember &member);
    bool shared() const { return members.size() > 1; }
    const std::string &name() const { return line_name; }

    // True: `member` holds the line now. False: it is queued, and its next_step() runs when
    // its turn comes.
    bool acquire(LineMember &member);
    // The holder's exchange is over; the next device in the queue gets the line.
    void release(LineMember &member);
    bool held_by(const LineMember &member) const { return holder == &member; }

    // Discards what arrives until the line has been quiet for the guard time; then the holder
    // is told (line_quiet), or without one the next device in the queue gets the line.
    void settle();

    Port &port();
    // Writes to the port, and to the capture when one is kept.
    void send(const unsigned char *data, size_t len);
    // Every byte written and read from now on goes to `writer` (nullptr: none).
    void set_capture(::capture::CaptureWriter *writer) { capture = writer; }

    void on_bytes(unsigned char *data, size_t len) override;
    void on_port_error(const std::string &what) override;

private:
    struct Member {
        LineMember *device;
        DeviceConfig config;
        unsigned address;
    };

    void grant_next();
    std::string holder_label() const;
    void turn_over(LineMember &member, Clock::duration held);
    void check_cycle(const std::map<LineMember *, Clock::duration> &cycle);
    void quiet();

    boost::asio::io_context &io;
    Events &events;
    std::string line_name;
    std::vector<Member> members;
    std::unique_ptr<Port> opened_port;
    LineMember *holder = nullptr;
    std::deque<LineMember *> waiting;
    Clock::time_point turn_started{};
    Clock::duration guard{}; // quiet time that ends settling, at the line's baud rate
    boost::asio::steady_timer quiet_timer;
    bool settling = false;
    Clock::time_point settle_cap{};
    // The last turn of each device since the cycle began.
    std::map<LineMember *, Clock::duration> cycle;
    bool saturated = false;
    ::capture::CaptureWriter *capture = nullptr;
};

} // namespace host
