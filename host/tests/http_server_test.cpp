// The HTTP server on a loopback port: how it shares its places when clients hold them idle or
// send slowly, and how many it takes within the descriptor limit.
#include "host/common/log.h"
#include "host/http/http_server.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

// A server with two places on a thread of its own; its clients are blocking sockets.
struct TwoPlaces : ::testing::Test {
    asio::io_context io;
    host::Log log{stderr};
    std::unique_ptr<host::HttpServer> server;
    std::thread loop;

    void SetUp() override {
        host::HttpLimits limits;
        limits.max_connections = 2;
        server = std::make_unique<host::HttpServer>(
            io, log, "127.0.0.1:0", limits,
            [](const std::string &, const std::map<std::string, std::string> &) {
                return host::HttpResponse{200, "text/plain", "ok\n"};
            });
        loop = std::thread([this] { io.run(); });
    }
    void TearDown() override {
        io.stop();
        loop.join();
    }

    std::unique_ptr<tcp::socket> connect(const std::string &send = "") {
        static asio::io_context client_io;
        auto s = std::make_unique<tcp::socket>(client_io);
        s->connect(server->local_endpoint());
        if (!send.empty())
            asio::write(*s, asio::buffer(send));
        return s;
    }

    // The status of a whole GET on a new connection.
    std::string status() {
        auto s = connect("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        std::string answer;
        boost::system::error_code ec;
        char buffer[512];
        for (size_t n; (n = s->read_some(asio::buffer(buffer), ec)) > 0 && !ec;)
            answer.append(buffer, n);
        return answer.substr(0, 12);
    }
};

TEST_F(TwoPlaces, IdleAndSlowClientsGiveWayToAScrape) {
    auto idle_a = connect(), idle_b = connect();
    EXPECT_EQ(status(), "HTTP/1.1 200");
    // Two clients sending a request a few bytes at a time hold both places; past a second they
    // count as slow and give way, the one that started first before the other.
    auto slow_a = connect("GET /metrics HTTP/1.1\r\n");
    auto slow_b = connect("GET /metrics HTTP/1.1\r\n");
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(status(), "HTTP/1.1 200");
    EXPECT_EQ(status(), "HTTP/1.1 200");
}

TEST_F(TwoPlaces, RequestsJustStartedAreNotTurnedOut) {
    // Fresh requests are not slow yet: the third client is turned away, not one of them.
    auto a = connect("GET /metrics HTTP/1.1\r\n");
    auto b = connect("GET /metrics HTTP/1.1\r\n");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(status(), "HTTP/1.1 503");
}

// Answers in pieces: a piece is made only once the one before is written, a client that takes
// nothing is dropped after the request time-out, and past two at once a client is asked back.
TEST(HttpServer, AnswersInPiecesWaitForTheirReaderAndAreBounded) {
    asio::io_context io;
    host::Log log(stderr);
    host::HttpLimits limits;
    limits.request_timeout = 500ms;
    std::atomic<unsigned> pieces_made{0};
    host::HttpServer server(
        io, log, "127.0.0.1:0", limits,
        [&](const std::string &path, const std::map<std::string, std::string> &) {
            host::HttpResponse r{200, "text/plain", ""};
            auto left = std::make_shared<unsigned>(path == "/big" ? 1000 : 3);
            r.pieces = [&pieces_made, left, path](std::string &piece) {
                ++pieces_made;
                piece.assign(path == "/big" ? 256 * 1024 : 1, static_cast<char>('a' + *left % 26));
                return --*left > 0;
            };
            return r;
        });
    std::thread loop([&io] { io.run(); });
    asio::io_context client_io;
    const auto ask = [&](const char *path) {
        auto s = std::make_unique<tcp::socket>(client_io);
        s->connect(server.local_endpoint());
        asio::write(*s, asio::buffer(std::string("GET ") + path +
                                     " HTTP/1.1\r\nHost: x\r\n"
                                     "Connection: close\r\n\r\n"));
        return s;
    };
    const auto answer = [](tcp::socket &s) {
        std::string text;
        boost::system::error_code ec;
        char buffer[4096];
        for (size_t n; (n = s.read_some(asio::buffer(buffer), ec)) > 0 && !ec;)
            text.append(buffer, n);
        return text;
    };

    const std::string small = answer(*ask("/small"));
    EXPECT_NE(small.find("Transfer-Encoding: chunked"), std::string::npos) << small;
    EXPECT_NE(small.find("\r\n1\r\nd\r\n1\r\nc\r\n1\r\nb\r\n0\r\n\r\n"), std::string::npos)
        << small;

    auto stalled_a = ask("/big"), stalled_b = ask("/big");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(answer(*ask("/small")).substr(0, 12), "HTTP/1.1 503");
    EXPECT_LT(pieces_made.load(), 100u); // of 2,000: only what the sockets' buffers took
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(answer(*ask("/small")).substr(0, 12), "HTTP/1.1 200");
    io.stop();
    loop.join();
}

TEST(HttpServer, ConnectionsStayWithinTheDescriptorLimit) {
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = low.rlim_max = 96; // the hard limit too: it cannot be raised past it
    if (setrlimit(RLIMIT_NOFILE, &low) != 0)
        GTEST_SKIP() << "cannot lower the descriptor limit";
    asio::io_context io;
    std::FILE *told = std::tmpfile();
    host::Log log(told);
    host::HttpLimits limits;
    limits.max_connections = 1024;
    host::HttpServer server(io, log, "127.0.0.1:0", limits,
                            [](const std::string &, const std::map<std::string, std::string> &) {
                                return host::HttpResponse{};
                            });
    std::rewind(told);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, told), nullptr);
    std::fclose(told);
    EXPECT_NE(std::string(line).find("max_connections 1024 held to 48: the process may open 96 "
                                     "descriptors"),
              std::string::npos)
        << line;
    // Raising the hard limit back needs privileges; a test process keeps the lower one.
    setrlimit(RLIMIT_NOFILE, &old);
}

} // namespace
