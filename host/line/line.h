// One open line shared by every device configured on the same port (a serial path, a serial
// server, or the built-in simulator). The line carries one exchange at a time: the device that
// holds it sends its commands and reads their replies (or their time-outs) while the others
// wait in turn. A device holds the line for one round, or one control request, then queues
// again behind the others, so that turns go round device by device.
//
// A line that cannot keep up (the last turn of every device adds up to more than the shortest
// interval) stretches its rounds evenly over its devices; it says so once, with the figures,
// and again once a cycle fits in the interval with a tenth to spare.
#pragma once

#include "host/common/device_config.h"
#include "host/common/log.h"
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

class Channel;
class CaptureWriter;

class Line : public Port::Listener {
public:
    using Clock = std::chrono::steady_clock;

    Line(boost::asio::io_context &io, Log &log, std::string name);
    ~Line() override;

    // Before the first open: a device on this line, at `address`.
    void join(Channel &channel, const DeviceConfig &config, unsigned address);
    // The device is done; the port closes when the last one leaves.
    void leave(Channel &channel);
    bool shared() const { return members.size() > 1; }
    const std::string &name() const { return line_name; }

    // True: `channel` holds the line now. False: it is queued, and its next_step() runs when
    // its turn comes.
    bool acquire(Channel &channel);
    // The holder's exchange is over; the next device in the queue gets the line.
    void release(Channel &channel);
    bool held_by(const Channel &channel) const { return holder == &channel; }

    Port &port();
    // Writes to the port, and to the capture when one is kept.
    void send(const unsigned char *data, size_t len);
    // Every byte written and read from now on goes to `writer` (nullptr: none).
    void set_capture(CaptureWriter *writer) { capture = writer; }

    void on_bytes(unsigned char *data, size_t len) override;
    void on_port_error(const std::string &what) override;

private:
    struct Member {
        Channel *channel;
        DeviceConfig config;
        unsigned address;
    };

    void grant_next();
    std::string holder_label() const;
    void turn_over(Channel &channel, Clock::duration held);
    void check_cycle(const std::map<Channel *, Clock::duration> &cycle);
    void wait_for_quiet();

    boost::asio::io_context &io;
    Log &log;
    std::string line_name;
    std::vector<Member> members;
    std::unique_ptr<Port> opened_port;
    Channel *holder = nullptr;
    std::deque<Channel *> waiting;
    Clock::time_point turn_started{};
    // Bytes that came while nobody held the line: it settles before the next turn.
    boost::asio::steady_timer quiet_timer;
    bool settling = false;
    Clock::time_point settle_cap{};
    // The last turn of each device since the cycle began.
    std::map<Channel *, Clock::duration> cycle;
    bool saturated = false;
    CaptureWriter *capture = nullptr;
};

} // namespace host
