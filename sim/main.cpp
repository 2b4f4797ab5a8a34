// mpx23-sim: the simulated power system (or several at their own addresses) on a pseudo-terminal or
// a TCP port (serial-server emulation). Pauses between reply chunks and paced bytes are kept in
// real time.
#include "capture/format.h"
#include "mpx23_version.h"
#include "sim/bus.h"
#include "sim/command_line.h"
#include "sim/replay.h"
#include "sim/simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int) {
    stop_requested = 1;
}

void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a client that hangs up shows as a write error
}

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        fail("fcntl");
}

// Reply bytes waiting for their time on the line.
class Outbox {
public:
    void schedule(const std::vector<sim::Chunk> &chunks, Clock::time_point now) {
        Clock::time_point t = std::max(now, last_due);
        for (const auto &c : chunks) {
            t += c.delay_before;
            queue.push_back({t, c.bytes});
        }
        last_due = t;
    }

    enum class Flush { Done, Blocked, Failed };

    // Writes what is due; Blocked means wait until the line takes more.
    Flush flush(int fd, Clock::time_point now) {
        while (!queue.empty() && queue.front().due <= now) {
            auto &front = queue.front();
            const ssize_t n = ::write(fd, front.bytes.data(), front.bytes.size());
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Flush::Blocked
                                                                                 : Flush::Failed;
            front.bytes.erase(0, static_cast<size_t>(n));
            if (!front.bytes.empty())
                return Flush::Blocked;
            queue.pop_front();
        }
        return Flush::Done;
    }

    std::optional<Clock::time_point> next_due() const {
        if (queue.empty())
            return std::nullopt;
        return queue.front().due;
    }
    bool empty() const { return queue.empty(); }
    void clear() { queue.clear(); }

private:
    struct Pending {
        Clock::time_point due;
        std::string bytes;
    };
    std::deque<Pending> queue;
    Clock::time_point last_due{};
};

// The pseudo-terminal's master side. The simulator holds the slave open itself, so the master
// never hangs up between clients.
struct Pty {
    int master = -1;
    int held_slave = -1;
    std::string path;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            fail("pseudo-terminal");
        const char *name = ptsname(master);
        if (!name)
            fail("ptsname");
        path = name;
        // Raw: no echo, no CR/NL translation, every byte as it comes. On the master this sets
        // the line discipline of the pair, so a client that opens the slave finds it raw.
        termios tio{};
        if (tcgetattr(master, &tio) != 0)
            fail("tcgetattr");
        cfmakeraw(&tio);
        if (tcsetattr(master, TCSANOW, &tio) != 0)
            fail("tcsetattr");
        set_nonblocking(master);
        held_slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (held_slave < 0)
            fail("open " + path);
    }
    ~Pty() {
        ::close(held_slave);
        ::close(master);
    }
};

struct TcpServer {
    int listener = -1;
    unsigned port = 0;

    explicit TcpServer(unsigned wanted) {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listener < 0)
            fail("socket");
        const int yes = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(wanted));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            fail("bind 127.0.0.1:" + std::to_string(wanted));
        if (::listen(listener, 4) != 0)
            fail("listen");
        socklen_t len = sizeof addr;
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~TcpServer() { ::close(listener); }
};

timespec until(std::optional<Clock::time_point> due, Clock::time_point now) {
    auto wait = duration_cast<microseconds>(milliseconds(100));
    if (due)
        wait = std::min(wait, std::max(microseconds(0), duration_cast<microseconds>(*due - now)));
    return timespec{static_cast<time_t>(wait.count() / 1000000),
                    static_cast<long>(wait.count() % 1000000 * 1000)};
}

class Server {
public:
    explicit Server(const sim::CommandLine &cl) : options(cl), simulator(sim::bus_configs(cl)) {
        if (cl.log)
            simulator.set_log(&std::cerr);
        if (!cl.replay.empty()) {
            const auto file = capture::read_capture(cl.replay);
            replay.emplace(file.records,
                           cl.replay_paced ? sim::Replay::Timing::Paced
                                           : sim::Replay::Timing::Recorded,
                           cl.sim.baud);
            replay->set_log(&std::cerr); // commands without a recorded reply are always told
            replay->set_loop(cl.replay_loop);
            std::cerr << "replay: " << replay->exchanges() << " exchanges from " << cl.replay
                      << (file.cut ? " (its last record was cut off)" : "") << '\n';
        }
    }

    ~Server() {
        if (replay)
            std::cerr << replay->summary() << '\n';
    }

    int run() {
        std::optional<Pty> pty;
        std::optional<TcpServer> tcp;
        if (options.transport == sim::CommandLine::Transport::Pty) {
            pty.emplace();
            line = pty->master;
            std::cout << pty->path << std::endl;
        } else {
            tcp.emplace(options.port);
            std::cout << "127.0.0.1:" << tcp->port << std::endl;
        }
        const auto start = Clock::now();
        while (!stop_requested) {
            const auto now = Clock::now();
            if (!replay)
                simulator.advance_to(duration_cast<milliseconds>(now - start));
            if (options.seconds > 0 &&
                now - start >=
                    duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds)))
                break;
            if (!replay && simulator.finished() && outbox.empty())
                break;
            const auto flushed = line < 0 ? Outbox::Flush::Done : outbox.flush(line, now);
            if (flushed == Outbox::Flush::Failed && tcp)
                hang_up();
            wait(tcp ? tcp->listener : -1, flushed == Outbox::Flush::Blocked, now);
        }
        if (tcp && line >= 0)
            ::close(line);
        return 0;
    }

private:
    void wait(int listener, bool blocked, Clock::time_point now) {
        pollfd fds[2];
        nfds_t n = 0;
        if (line >= 0)
            fds[n++] = {line, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0};
        else if (listener >= 0)
            fds[n++] = {listener, POLLIN, 0};
        const timespec timeout = until(blocked ? std::nullopt : outbox.next_due(), now);
        if (ppoll(fds, n, &timeout, nullptr) <= 0)
            return; // timeout, or a signal: the loop looks at the clock and the stop flag
        if (fds[0].fd == listener && (fds[0].revents & POLLIN))
            accept_client(listener);
        else if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            receive(listener >= 0);
    }

    void accept_client(int listener) {
        line = ::accept(listener, nullptr, nullptr);
        if (line < 0)
            return;
        set_nonblocking(line);
        simulator.drop_partial();
        outbox.clear();
        if (options.log)
            std::cerr << "sim: client connected\n";
    }

    void receive(bool tcp) {
        unsigned char buf[512];
        const ssize_t n = ::read(line, buf, sizeof buf);
        if (n > 0) {
            // A master that waits for each reply never talks over one (on RS-485, a collision).
            if (options.log && !outbox.empty())
                std::cerr << "sim: bytes came while a reply was going out\n";
            const auto len = static_cast<size_t>(n);
            outbox.schedule(replay ? replay->on_bytes(buf, len) : simulator.on_bytes(buf, len),
                            Clock::now());
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (tcp)
            hang_up();
    }

    void hang_up() {
        ::close(line);
        line = -1;
        outbox.clear();
        if (options.log)
            std::cerr << "sim: client gone\n";
    }

    const sim::CommandLine &options;
    sim::Bus simulator;                // one power system, or several at their own addresses
    std::optional<sim::Replay> replay; // a capture answers instead
    Outbox outbox;
    int line = -1;
};

} // namespace

int main(int argc, char **argv) {
    sim::CommandLine cl;
    try {
        cl = sim::parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception &e) {
        std::cerr << "mpx23-sim: " << e.what() << '\n';
        return 2;
    }
    if (cl.help) {
        std::cout << sim::usage();
        return 0;
    }
    if (cl.version) {
        std::cout << "mpx23-sim " << mpx23_version() << '\n';
        return 0;
    }
    if (cl.transport == sim::CommandLine::Transport::None) {
        std::cerr << "mpx23-sim: choose --pty or --listen PORT (see --help)\n";
        return 2;
    }
    install_signals();
    try {
        return Server(cl).run();
    } catch (const std::exception &e) {
        std::cerr << "mpx23-sim: " << e.what() << '\n';
        return 1;
    }
}
