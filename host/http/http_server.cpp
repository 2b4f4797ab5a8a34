#include "host/http/http_server.h"

#include "host/common/errors.h"

#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

namespace host {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using boost::system::error_code;

namespace {
class Session;
}

struct HttpServer::Shared {
    Log &log;
    HttpLimits limits;
    HttpHandler handler;
    unsigned open = 0;
    unsigned in_pieces = 0;                       // answers being written in pieces
    std::vector<std::weak_ptr<Session>> sessions; // to choose one to give way
};

namespace {

using Clock = std::chrono::steady_clock;

// A request that takes longer than this to arrive whole is slow enough to give way to a new
// connection when every place is taken; a scrape sends its few hundred bytes at once.
constexpr auto kSlowRequest = std::chrono::seconds(1);
// Descriptors kept for everything but HTTP: ports, the history, the broker, the logs.
constexpr rlim_t kReservedDescriptors = 48;

// The answer to the connection past the limit, written without waiting and then closed.
const char kBusy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                     "Connection: close\r\nRetry-After: 1\r\n\r\n";

int hex_digit(char c) {
    if (std::isdigit(static_cast<unsigned char>(c)))
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percent_decoded(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
                   hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// One client connection: it reads a request, answers, and reads the next while the client
// keeps the connection. It keeps itself alive through its pending operations.
class Session : public std::enable_shared_from_this<Session> {
public:
    // What the connection waits for: the first byte of a request, the rest of it, or the
    // client to take an answer.
    enum class Phase { Idle, Reading, Answering };

    Session(tcp::socket socket, std::shared_ptr<HttpServer::Shared> shared)
        : stream(std::move(socket)), shared(std::move(shared)) {
        ++this->shared->open;
    }
    ~Session() { --shared->open; }

    void start() { wait_for_request(); }
    Phase phase() const { return current; }
    Clock::time_point since() const { return phase_since; }
    // Gives its place to a new connection: its pending operations end, and with them it.
    void give_way() { close(); }

private:
    void enter(Phase p) {
        current = p;
        phase_since = Clock::now();
    }

    // Idle: up to idle_timeout for the first byte; a byte already held counts as that.
    void wait_for_request() {
        if (buffer.size() > 0)
            return read_request();
        enter(Phase::Idle);
        stream.expires_after(shared->limits.idle_timeout);
        stream.async_read_some(buffer.prepare(512),
                               [self = shared_from_this()](error_code ec, size_t n) {
                                   if (ec)
                                       return self->close();
                                   self->buffer.commit(n);
                                   self->read_request();
                               });
    }

    void read_request() {
        enter(Phase::Reading);
        parser.emplace();
        parser->header_limit(shared->limits.header_limit);
        parser->body_limit(shared->limits.body_limit);
        stream.expires_after(shared->limits.request_timeout);
        http::async_read(
            stream, buffer, *parser, [self = shared_from_this()](error_code ec, size_t) {
                if (ec == http::error::end_of_stream)
                    return self->close();
                if (ec == beast::error::timeout || ec == asio::error::operation_aborted)
                    return self->close();
                if (ec)
                    return self->answer_error(
                        ec == http::error::header_limit || ec == http::error::body_limit ? 413
                                                                                         : 400);
                self->answer();
            });
    }

    void answer() {
        const auto &request = parser->get();
        const bool head = request.method() == http::verb::head;
        if (!head && request.method() != http::verb::get) {
            keep = false;
            HttpResponse refused{405, "text/plain; charset=utf-8", "only GET and HEAD\n"};
            return send(refused, false, request.version());
        }
        keep = request.keep_alive();
        std::map<std::string, std::string> query;
        const std::string path = split_target(std::string(request.target()), query);
        HttpResponse response;
        try {
            response = shared->handler(path, query);
        } catch (const std::exception &e) {
            response = {500, "text/plain; charset=utf-8", std::string(e.what()) + "\n"};
        }
        if (response.pieces && shared->in_pieces >= kAnswersInPiecesAtOnce) {
            response = {503, "text/plain; charset=utf-8", "busy: ask again in a second\n"};
            response.headers.emplace_back("Retry-After", "1");
        }
        if (response.pieces && !head)
            return send_in_pieces(std::move(response), request.version());
        send(response, head, request.version());
    }

    void answer_error(unsigned status) {
        keep = false;
        send({status, "text/plain; charset=utf-8", "bad request\n"}, false, 11);
    }

    template <class Message> void set_header(Message &m, const HttpResponse &r) {
        m.set(http::field::server, "mpx23-host");
        m.set(http::field::content_type, r.content_type);
        m.set(http::field::cache_control, "no-store");
        if (r.status == 405)
            m.set(http::field::allow, "GET, HEAD");
        for (const auto &[name, value] : r.headers)
            m.set(name, value);
        m.keep_alive(keep);
    }

    void send(const HttpResponse &r, bool head, unsigned version) {
        enter(Phase::Answering);
        response.emplace(static_cast<http::status>(r.status), version);
        set_header(*response, r);
        response->content_length(r.body.size());
        if (!head)
            response->body() = r.body;
        stream.expires_after(shared->limits.request_timeout);
        http::async_write(stream, *response, [self = shared_from_this()](error_code ec, size_t) {
            if (ec || !self->keep)
                return self->close();
            self->response.reset();
            self->wait_for_request();
        });
    }

    // The header, then each piece as a chunk once the one before is written; a client that
    // takes none for request_timeout is dropped.
    void send_in_pieces(HttpResponse r, unsigned version) {
        enter(Phase::Answering);
        ++shared->in_pieces;
        pieces = std::move(r.pieces);
        header.emplace(static_cast<http::status>(r.status), version);
        set_header(*header, r);
        header->chunked(true);
        serializer.emplace(*header);
        stream.expires_after(shared->limits.request_timeout);
        http::async_write_header(stream, *serializer,
                                 [self = shared_from_this()](error_code ec, size_t) {
                                     if (ec)
                                         return self->end_pieces(false);
                                     self->next_piece();
                                 });
    }

    void next_piece() {
        piece.clear();
        bool more = false;
        try {
            more = pieces(piece);
        } catch (const std::exception &e) {
            // The status is sent already: the answer is cut short, which its reader sees.
            shared->log.limited("http:pieces", std::string("http: answer cut short: ") + e.what());
            return end_pieces(false);
        }
        stream.expires_after(shared->limits.request_timeout);
        const auto written = [self = shared_from_this(), more](error_code ec, size_t) {
            if (ec)
                return self->end_pieces(false);
            if (more)
                return self->next_piece();
            self->last_chunk();
        };
        if (piece.empty())
            return more ? next_piece() : last_chunk();
        asio::async_write(stream, http::make_chunk(asio::buffer(piece)), written);
    }

    void last_chunk() {
        stream.expires_after(shared->limits.request_timeout);
        asio::async_write(
            stream, http::make_chunk_last(),
            [self = shared_from_this()](error_code ec, size_t) { self->end_pieces(!ec); });
    }

    void end_pieces(bool whole) {
        --shared->in_pieces;
        pieces = nullptr;
        serializer.reset();
        header.reset();
        std::string().swap(piece); // its memory goes back now, not at the next answer
        if (!whole || !keep)
            return close();
        wait_for_request();
    }

    void close() {
        error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.close();
    }

    beast::tcp_stream stream;
    std::shared_ptr<HttpServer::Shared> shared;
    beast::flat_buffer buffer{16384};
    std::optional<http::request_parser<http::string_body>> parser;
    std::optional<http::response<http::string_body>> response;
    std::optional<http::response<http::empty_body>> header;
    std::optional<http::response_serializer<http::empty_body>> serializer;
    BodyPieces pieces;
    std::string piece;
    bool keep = false;
    Phase current = Phase::Idle;
    Clock::time_point phase_since = Clock::now();
};

} // namespace

tcp::endpoint parse_listen(const std::string &text) {
    const auto colon = text.rfind(':');
    std::string address = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoul(port) > 65535)
        throw ConfigError("--http: expected [ADDRESS:]PORT, not \"" + text + "\"");
    error_code ec;
    const auto ip =
        address.empty() ? asio::ip::address_v4::loopback() : asio::ip::make_address(address, ec);
    if (ec)
        throw ConfigError("--http: \"" + address + "\" is not an IP address");
    return {ip, static_cast<unsigned short>(std::stoul(port))};
}

std::string reachable_page(const tcp::endpoint &at) {
    const asio::ip::address ip = at.address();
    if (ip.is_loopback() || ip.is_unspecified() || at.port() == 0)
        return "";
    const std::string host = ip.is_v6() ? "[" + ip.to_string() + "]" : ip.to_string();
    return "http://" + host + ":" + std::to_string(at.port()) + "/";
}

std::string split_target(const std::string &target, std::map<std::string, std::string> &query) {
    const auto mark = target.find('?');
    if (mark == std::string::npos)
        return percent_decoded(target);
    const std::string rest = target.substr(mark + 1);
    for (size_t at = 0; at <= rest.size();) {
        const auto end = std::min(rest.find('&', at), rest.size());
        const std::string pair = rest.substr(at, end - at);
        const auto eq = pair.find('=');
        if (!pair.empty())
            query[percent_decoded(pair.substr(0, eq))] =
                eq == std::string::npos ? "" : percent_decoded(pair.substr(eq + 1));
        at = end + 1;
    }
    return percent_decoded(target.substr(0, mark));
}

// The connection that gives way to a new one when every place is taken: the one idle longest,
// else the one that has been sending its request longest, if that is slow. Those taking an
// answer are left alone.
std::shared_ptr<Session> give_way_candidate(std::vector<std::weak_ptr<Session>> &sessions) {
    sessions.erase(std::remove_if(sessions.begin(), sessions.end(),
                                  [](const std::weak_ptr<Session> &s) { return s.expired(); }),
                   sessions.end());
    std::shared_ptr<Session> idle, slow;
    const auto older = [](const std::shared_ptr<Session> &a, const std::shared_ptr<Session> &b) {
        return !a || b->since() < a->since();
    };
    for (const auto &weak : sessions) {
        const auto s = weak.lock();
        if (s->phase() == Session::Phase::Idle && older(idle, s))
            idle = s;
        else if (s->phase() == Session::Phase::Reading &&
                 Clock::now() - s->since() >= kSlowRequest && older(slow, s))
            slow = s;
    }
    return idle ? idle : slow;
}

// As many connections as the descriptors allow beside the host's own: the soft limit is raised
// to the hard one where that is needed, and the connections held below what remains.
unsigned connections_within_descriptors(unsigned wanted, Log &log) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return wanted;
    const rlim_t needed = wanted + kReservedDescriptors;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? needed : std::min(limit.rlim_max, needed);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return wanted;
    const unsigned room = limit.rlim_cur > kReservedDescriptors + 1
                              ? static_cast<unsigned>(limit.rlim_cur - kReservedDescriptors)
                              : 1;
    log.line("http: max_connections " + std::to_string(wanted) + " held to " +
             std::to_string(room) + ": the process may open " + std::to_string(limit.rlim_cur) +
             " descriptors");
    return room;
}

HttpServer::HttpServer(asio::io_context &io, Log &log, const std::string &listen, HttpLimits limits,
                       HttpHandler handler)
    : log(log), acceptor(io), retry(io),
      shared(std::make_shared<Shared>(Shared{log, limits, std::move(handler), 0, 0, {}})) {
    shared->limits.max_connections = connections_within_descriptors(limits.max_connections, log);
    const tcp::endpoint at = parse_listen(listen);
    error_code ec;
    acceptor.open(at.protocol(), ec);
    if (!ec)
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(at, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
        throw ConfigError("--http " + listen + ": " + ec.message());
    log.line("http: listening on " + local_endpoint().address().to_string() + ":" +
             std::to_string(local_endpoint().port()));
    accept();
}

HttpServer::~HttpServer() {
    error_code ignored;
    acceptor.close(ignored);
}

void HttpServer::accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (ec) { // out of descriptors, most likely: try again shortly rather than spin
            log.limited("http:accept", "http: cannot accept: " + ec.message());
            retry.expires_after(std::chrono::milliseconds(100));
            retry.async_wait([this](error_code e) {
                if (!e)
                    accept();
            });
            return;
        }
        if (shared->open >= shared->limits.max_connections) {
            const auto victim = give_way_candidate(shared->sessions);
            if (!victim) {
                turn_away(std::move(socket));
                return accept();
            }
            victim->give_way();
        }
        const auto session = std::make_shared<Session>(std::move(socket), shared);
        shared->sessions.push_back(session);
        session->start();
        accept();
    });
}

// Past the limit the client hears why at once, if its socket takes the few bytes, and nothing
// waits on it.
void HttpServer::turn_away(tcp::socket socket) {
    log.limited("http:busy", "http: " + std::to_string(shared->limits.max_connections) +
                                 " connections open: turning new ones away");
    error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(asio::buffer(kBusy, sizeof kBusy - 1), ignored);
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

} // namespace host
