#include "host/line/line.h"

#include "host/common/wire_timing.h"

#include "host/line/capture.h"
#include "host/core/poller.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstdio>

namespace host {
namespace {

namespace asio = boost::asio;

double in_seconds(Line::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

Line::Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Line::Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

Line::Line(asio::io_context &io, Log &log, std::string name)
    : io(io), log(log), line_name(std::move(name)), quiet_timer(io) {}

Line::~Line() = default;

void Line::join(Channel &channel, const DeviceConfig &config, unsigned address) {
    members.push_back({&channel, config, address});
}

void Line::leave(Channel &channel) {
    release(channel);
    waiting.erase(std::remove(waiting.begin(), waiting.end(), &channel), waiting.end());
    cycle.erase(&channel);
    const bool anyone_left = std::any_of(members.begin(), members.end(),
                                         [](const Member &m) { return !m.channel->finished(); });
    if (!anyone_left && opened_port)
        opened_port->close();
}

Port &Line::port() {
    if (!opened_port) {
        std::vector<LineDevice> devices;
        for (const auto &m : members)
            devices.push_back({&m.config, m.address});
        opened_port = make_port(io, devices, *this);
    }
    return *opened_port;
}

void Line::send(const unsigned char *data, size_t len) {
    if (capture)
        capture->record(sim::CaptureRecord::Direction::Sent, line_name, holder_label(), data, len);
    port().write(data, len);
}

std::string Line::holder_label() const {
    return holder ? std::to_string(holder->data_id()) : "-";
}

bool Line::acquire(Channel &channel) {
    if (holder == &channel)
        return true;
    if (!holder && !settling && waiting.empty()) {
        holder = &channel;
        turn_started = Clock::now();
        return true;
    }
    if (std::find(waiting.begin(), waiting.end(), &channel) == waiting.end())
        waiting.push_back(&channel);
    return false;
}

void Line::release(Channel &channel) {
    if (holder != &channel)
        return;
    holder = nullptr;
    turn_over(channel, Clock::now() - turn_started);
    asio::post(io, [this] { grant_next(); });
}

void Line::grant_next() {
    if (holder || settling || waiting.empty())
        return;
    Channel *next = waiting.front();
    waiting.pop_front();
    holder = next;
    turn_started = Clock::now();
    next->next_step();
}

// A cycle ends when a device takes its next turn: by then every device that wanted the line
// has had it once.
void Line::turn_over(Channel &channel, Clock::duration held) {
    if (!shared())
        return;
    if (cycle.count(&channel)) {
        check_cycle(cycle);
        cycle.clear();
    }
    cycle[&channel] = held;
}

void Line::check_cycle(const std::map<Channel *, Clock::duration> &turns) {
    Clock::duration need{};
    for (const auto &[channel, held] : turns)
        need += held;
    double interval = members.front().config.interval;
    for (const auto &m : members)
        interval = std::min(interval, m.config.interval);
    const double needed = in_seconds(need);
    const bool over = needed > interval;
    const bool fits_again = needed <= 0.9 * interval;
    if (saturated ? !fits_again : !over)
        return;
    saturated = !saturated;
    char text[160];
    std::snprintf(text, sizeof text, "line %s: %zu devices need %.2g s per cycle, interval %g s%s",
                  line_name.c_str(), turns.size(), needed, interval,
                  saturated ? "" : ": the line keeps up again");
    log.line(text);
}

// Bytes nobody asked for (a late reply, noise): the next turn waits until the line has been
// quiet for the guard time, for at most a few guard times.
void Line::on_bytes(unsigned char *data, size_t len) {
    if (capture)
        capture->record(sim::CaptureRecord::Direction::Received, line_name, holder_label(), data,
                        len);
    if (holder)
        return holder->on_bytes(data, len);
    const auto guard = seconds(quiet_guard(members.front().config.baud));
    if (!settling)
        settle_cap = Clock::now() + 4 * guard;
    settling = true;
    quiet_timer.expires_at(std::min(Clock::now() + guard, settle_cap));
    quiet_timer.async_wait([this](boost::system::error_code ec) {
        if (ec)
            return;
        settling = false;
        grant_next();
    });
}

void Line::on_port_error(const std::string &what) {
    if (holder)
        holder->on_port_error(what);
}

} // namespace host
