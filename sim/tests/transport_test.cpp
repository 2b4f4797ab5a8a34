// The mpx23-sim program on its two transports: a pseudo-terminal and a TCP port.
#include "sim/tests/sim_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

using namespace simtest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// The simulator program, started by the test and stopped by it.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        args.insert(args.begin(), MPX23_SIM_EXE);
        int out[2];
        if (pipe(out) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        stdout_fd = out[0];
    }
    ~Child() {
        if (pid > 0 && wait_exit(milliseconds(0)) == kRunning) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (stdout_fd >= 0)
            close(stdout_fd);
    }

    std::string first_line(milliseconds timeout) {
        std::string line;
        const auto end = Clock::now() + timeout;
        char c = 0;
        while (Clock::now() < end && wait_readable(stdout_fd, end) && read(stdout_fd, &c, 1) == 1) {
            if (c == '\n')
                return line;
            line.push_back(c);
        }
        return line;
    }

    static constexpr int kRunning = -1000;
    // The exit code, or kRunning when the program did not end in time.
    int wait_exit(milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        do {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            }
            usleep(10000);
        } while (Clock::now() < end);
        return kRunning;
    }
    void stop() { kill(pid, SIGTERM); }

    static bool wait_readable(int fd, Clock::time_point end) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        return left > 0 && poll(&p, 1, static_cast<int>(left)) == 1;
    }

private:
    pid_t pid = -1;
    int stdout_fd = -1;
};

// Bytes from `fd` up to and including the first EOI, or what came before the timeout.
std::string read_reply(int fd, milliseconds timeout) {
    std::string got;
    const auto end = Clock::now() + timeout;
    char buf[256];
    while (got.find('\r') == std::string::npos && Child::wait_readable(fd, end)) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

void send_text(int fd, const std::string &s) {
    ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

} // namespace

TEST(Transport, PseudoTerminalAnswersAndStopsOnSigterm) {
    Child sim({"--pty", "--address", "3"});
    const std::string path = sim.first_line(milliseconds(1500));
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    send_text(fd, command(kRc, 0x42, {}, 3));
    const auto frames = frames_in(read_reply(fd, milliseconds(1000)));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].adr, 3);
    EXPECT_EQ(frames[0].cid1, kRc);
    EXPECT_EQ(frames[0].rtn, 0);
    EXPECT_EQ(frames[0].info.size(), 13u);
    close(fd);
    sim.stop();
    EXPECT_EQ(sim.wait_exit(milliseconds(1000)), 0);
}

TEST(Transport, TcpPacesRepliesAndEndsAfterItsRounds) {
    Child sim({"--listen", "0", "--rounds", "1", "--pace", "--baud", "2400"});
    const std::string where = sim.first_line(milliseconds(1500));
    ASSERT_EQ(where.rfind("127.0.0.1:", 0), 0u) << where;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(where.substr(10))));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

    const auto start = Clock::now();
    send_text(fd, command(kDc, 0x47));
    const std::string reply = read_reply(fd, milliseconds(1500));
    const auto took = Clock::now() - start;
    ASSERT_EQ(frames_in(reply).size(), 1u) << reply;
    // Each byte takes 10 bits of wire time: over 4 ms apiece at 2400 baud.
    EXPECT_GE(took, milliseconds(reply.size() * 10 * 1000 / 2400 - 20));

    send_text(fd, command(kDc, 0x47)); // the second round is not answered: the program ends
    EXPECT_EQ(sim.wait_exit(milliseconds(1500)), 0);
    EXPECT_EQ(read_reply(fd, milliseconds(100)), "");
    close(fd);
}

TEST(Transport, BadCommandLineExitsWithUsageError) {
    Child bad({"--pty", "--fault", "gremlins"});
    EXPECT_EQ(bad.wait_exit(milliseconds(1500)), 2);
}

// A bus on one pseudo-terminal: each address answers for itself with its own plant (address 2
// has five modules from its own scenario), a silent address never answers, and a command to an
// address nobody serves gets nothing.
TEST(Transport, BusAnswersEachAddressWithItsOwnPlant) {
    char dir[] = "/tmp/sim-bus-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string scenario = std::string(dir) + "/two.json";
    FILE *f = fopen(scenario.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(R"({"modules": 5})", f);
    fclose(f);
    Child sim({"--pty", "--address", "1,2,5", "--scenario-for", "2:" + scenario, "--silent", "5"});
    const std::string path = sim.first_line(milliseconds(1500));
    unlink(scenario.c_str());
    rmdir(dir);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    auto ask_rectifiers = [&](uint8_t address) {
        send_text(fd, command(kDc, 0x47, {}, address)); // opens the round: events fire
        const auto opened = frames_in(read_reply(fd, milliseconds(1000)));
        send_text(fd, command(kRc, 0x42, {}, address));
        auto frames = frames_in(read_reply(fd, milliseconds(1000)));
        frames.insert(frames.begin(), opened.begin(), opened.end());
        return frames;
    };
    for (uint8_t address : {1, 2}) {
        const auto frames = ask_rectifiers(address);
        ASSERT_EQ(frames.size(), 2u) << int(address);
        for (const auto &r : frames)
            EXPECT_EQ(r.adr, address);
        EXPECT_EQ(frames[1].info.at(3), address == 2 ? 5 : 3) << "module count"; // own layout
    }
    EXPECT_TRUE(ask_rectifiers(5).empty());
    EXPECT_TRUE(ask_rectifiers(7).empty());
    close(fd);
    sim.stop();
    EXPECT_EQ(sim.wait_exit(milliseconds(1000)), 0);

    Child twice({"--pty", "--address", "1,2,1"});
    EXPECT_EQ(twice.wait_exit(milliseconds(1500)), 2);
    Child stray({"--pty", "--address", "1,2", "--silent", "3"});
    EXPECT_EQ(stray.wait_exit(milliseconds(1500)), 2);
}
