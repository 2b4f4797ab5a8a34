#include "host/line/line.h"

#include "host/common/wire_timing.h"

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

Line::Line(asio::io_context &io, Events &events, std::string name)
    : io(io), events(events), line_name(std::move(name)), quiet_timer(io) {}

Line::~Line() = default;

// The line runs at its first device's baud rate, and so does its guard time.
void Line::join(LineMember &member, const DeviceConfig &config, unsigned address) {
    if (members.empty())
        guard = seconds(quiet_guard(config.baud));
    members.push_back({&member, config, address});
}

void Line::leave(LineMember &member) {
    release(member);
    waiting.erase(std::remove(waiting.begin(), waiting.end(), &member), waiting.end());
    cycle.erase(&member);
    const bool anyone_left = std::any_of(members.begin(), members.end(),
                                         [](const Member &m) { return !m.device->finished(); });
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
        capture->record(capture::CaptureRecord::Direction::Sent, line_name, holder_label(), data,
                        len);
    port().write(data, len);
}

std::string Line::holder_label() const {
    return holder ? std::to_string(holder->data_id()) : "-";
}

bool Line::acquire(LineMember &member) {
    if (holder == &member)
        return true;
    if (!holder && !settling && waiting.empty()) {
        holder = &member;
        turn_started = Clock::now();
        return true;
    }
    if (std::find(waiting.begin(), waiting.end(), &member) == waiting.end())
        waiting.push_back(&member);
    return false;
}

void Line::release(LineMember &member) {
    if (holder != &member)
        return;
    holder = nullptr;
    const Clock::duration held = Clock::now() - turn_started;
    events.tell(&Observer::line_turn, LineTurn{line_name, in_seconds(held)});
    turn_over(member, held);
    asio::post(io, [this] { grant_next(); });
}

void Line::grant_next() {
    if (holder || settling || waiting.empty())
        return;
    LineMember *next = waiting.front();
    waiting.pop_front();
    holder = next;
    turn_started = Clock::now();
    next->next_step();
}

// A cycle ends when a device takes its next turn: by then every device that wanted the line
// has had it once.
void Line::turn_over(LineMember &member, Clock::duration held) {
    if (!shared())
        return;
    if (cycle.count(&member)) {
        check_cycle(cycle);
        cycle.clear();
    }
    cycle[&member] = member.last_exchange_failed() ? Clock::duration{} : held;
}

void Line::check_cycle(const std::map<LineMember *, Clock::duration> &turns) {
    Clock::duration need{};
    for (const auto &[member, held] : turns)
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
    events.tell(&Observer::line_load_changed,
                LineLoad{line_name, turns.size(), needed, interval, saturated});
}

// Bytes nobody asked for (a late reply, noise), or bytes while the line settles: each pushes
// the end of the quiet wait out by the guard time, but never past a few guard times, so that a
// line that never falls quiet does not stop the rounds (their failures then tell of it).
void Line::on_bytes(unsigned char *data, size_t len) {
    if (capture)
        capture->record(capture::CaptureRecord::Direction::Received, line_name, holder_label(),
                        data, len);
    if (holder && !settling)
        return holder->on_bytes(data, len);
    settle();
}

void Line::settle() {
    const auto now = Clock::now();
    if (!settling)
        settle_cap = now + 4 * guard;
    settling = true;
    quiet_timer.expires_at(std::min(now + guard, settle_cap));
    quiet_timer.async_wait([this](boost::system::error_code ec) {
        if (!ec)
            quiet();
    });
}

void Line::quiet() {
    settling = false;
    if (holder)
        holder->line_quiet();
    else
        grant_next();
}

// A closed port ends settling: a new connection starts clean.
void Line::on_port_error(const std::string &what) {
    if (settling) {
        settling = false;
        quiet_timer.cancel();
        if (!holder)
            asio::post(io, [this] { grant_next(); });
    }
    if (holder)
        holder->on_port_error(what);
}

} // namespace host
