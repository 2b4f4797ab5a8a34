// A small HTTP/1.1 server on the host's own event loop, for scrapes and a page on site: GET and
// HEAD only, answered from what the host holds in memory. Everything is asynchronous and bounded
// (connections, header and body sizes, time to send a request, time to take an answer), so that
// a slow or hostile client costs a socket and a few kilobytes, never a delay to polling.
#pragma once

#include "host/common/body_pieces.h"
#include "host/common/log.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace host {

struct HttpLimits {
    unsigned max_connections = 16;
    // A connection that sends no byte of a request (first, or next on a kept connection) for
    // this long is closed.
    std::chrono::milliseconds idle_timeout{10000};
    // From a request's first byte to its end, and for the client to take the whole answer (or,
    // for an answer in pieces, each piece).
    std::chrono::milliseconds request_timeout{10000};
    unsigned header_limit = 8192;
    unsigned body_limit = 1024;
};

struct HttpResponse {
    HttpResponse() = default;
    HttpResponse(unsigned status, std::string content_type, std::string body)
        : status(status), content_type(std::move(content_type)), body(std::move(body)) {}

    unsigned status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    // Set: the body is written in pieces (chunked), `body` unused.
    BodyPieces pieces;
    std::vector<std::pair<std::string, std::string>> headers; // further header fields
};

// Answers written in pieces at once, over all connections; past it a client is asked to come
// back (503, Retry-After), so that the pieces never take more than their share of the loop.
constexpr unsigned kAnswersInPiecesAtOnce = 2;

// The path ("/metrics") and the decoded query parameters of a GET or HEAD.
using HttpHandler = std::function<HttpResponse(const std::string &path,
                                               const std::map<std::string, std::string> &)>;

// "PORT", ":PORT", "ADDR:PORT" or "[ADDR]:PORT"; without an address, loopback. Throws ConfigError.
boost::asio::ip::tcp::endpoint parse_listen(const std::string &text);

// The live page's address for others to follow ("http://192.0.2.7:9100/"): "" when the server
// listens on loopback, where no one else reaches it, or on every address, where which one
// reaches this host is not known here.
std::string reachable_page(const boost::asio::ip::tcp::endpoint &at);

// "/api/history?device=1&since=2h": the path, and the query's parameters percent-decoded.
std::string split_target(const std::string &target, std::map<std::string, std::string> &query);

class HttpServer {
public:
    // Listens at once; throws ConfigError when the address cannot be bound.
    HttpServer(boost::asio::io_context &io, Log &log, const std::string &listen, HttpLimits limits,
               HttpHandler handler);
    ~HttpServer();

    boost::asio::ip::tcp::endpoint local_endpoint() const { return acceptor.local_endpoint(); }

    struct Shared; // what the open connections share with the server

private:
    void accept();
    void turn_away(boost::asio::ip::tcp::socket socket);

    Log &log;
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer retry;
    std::shared_ptr<Shared> shared;
};

} // namespace host
