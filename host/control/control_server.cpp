#include "host/control/control_server.h"

#include "host/common/errors.h"

#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <istream>

namespace host {

namespace asio = boost::asio;
using stream = asio::local::stream_protocol;
using boost::system::error_code;

// One asker: its request read (bounded in size and time), its answer written, the socket closed.
struct ControlServer::Session : std::enable_shared_from_this<Session> {
    Session(stream::socket s, ControlServer::Handler &handler)
        : socket(std::move(s)), handler(handler), deadline(socket.get_executor()) {}

    void start() {
        ucred cred{};
        socklen_t size = sizeof cred;
        if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0)
            asker = {cred.uid, cred.pid};
        deadline.expires_after(std::chrono::seconds(ControlServer::kRequestSeconds));
        deadline.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec && !self->read)
                self->close();
        });
        asio::async_read_until(
            socket, buffer, '\n', [self = shared_from_this()](error_code ec, size_t) {
                self->read = true;
                self->deadline.cancel();
                if (ec)
                    return self->close();
                std::istream in(&self->buffer);
                std::string line;
                std::getline(in, line);
                auto me = self;
                ControlServer::Answer answer;
                answer.whole = [me](const std::string &line) {
                    me->reply = line + "\n";
                    me->write([me](bool) { me->close(); });
                };
                answer.in_pieces = [me](std::string start, BodyPieces rest) {
                    me->reply = std::move(start);
                    me->pieces = std::move(rest);
                    me->write([me](bool written) { written ? me->next_piece() : me->close(); });
                };
                self->handler(line, self->asker, answer);
            });
    }

    // Writes the reply; a reader that takes none of it for kRequestSeconds is dropped.
    template <class Then> void write(Then then) {
        deadline.expires_after(std::chrono::seconds(ControlServer::kRequestSeconds));
        deadline.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec)
                self->close();
        });
        asio::async_write(socket, asio::buffer(reply),
                          [self = shared_from_this(), then](error_code ec, size_t) {
                              self->deadline.cancel();
                              then(!ec);
                          });
    }

    void next_piece() {
        reply.clear();
        bool more = false;
        try {
            more = pieces(reply);
        } catch (const std::exception &) {
            return close(); // cut short: the reader sees a line that does not end
        }
        if (!more) {
            pieces = nullptr;
            reply += "\n";
        }
        write([self = shared_from_this(), more](bool written) {
            written &&more ? self->next_piece() : self->close();
        });
    }

    void close() {
        error_code ignored;
        socket.close(ignored);
    }

    stream::socket socket;
    ControlServer::Handler &handler;
    asio::steady_timer deadline;
    asio::streambuf buffer{ControlServer::kLargestRequest};
    std::string reply;
    BodyPieces pieces;
    Asker asker;
    bool read = false;
};

std::string control_socket_path(const std::string &folder) {
    return folder + "/mpx23-host." + std::to_string(::getpid()) + ".sock";
}

// A socket file nobody answers at is a host's that ended without removing it.
bool answered_at(asio::io_context &io, const std::string &path) {
    stream::socket probe(io);
    error_code ec;
    probe.connect(stream::endpoint(path), ec);
    return !ec;
}

ControlServer::ControlServer(asio::io_context &io, Log &log, std::string path, Handler handler)
    : log(log), socket_path(std::move(path)), handler(std::move(handler)), acceptor(io), retry(io) {
    if (::access(socket_path.c_str(), F_OK) == 0) {
        if (answered_at(io, socket_path))
            throw ConfigError("--socket " + socket_path + ": another host answers there");
        ::unlink(socket_path.c_str());
    }
    const mode_t old = ::umask(0117); // 0660: the owner and the group
    error_code ec;
    acceptor.open(stream(), ec);
    if (!ec)
        acceptor.bind(stream::endpoint(socket_path), ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    ::umask(old);
    if (ec)
        throw ConfigError("--socket " + socket_path + ": " + ec.message());
    log.line("control socket: " + socket_path);
    accept();
}

ControlServer::~ControlServer() {
    error_code ignored;
    acceptor.close(ignored);
    ::unlink(socket_path.c_str());
}

void ControlServer::accept() {
    acceptor.async_accept([this](error_code ec, stream::socket s) {
        if (ec == asio::error::operation_aborted)
            return;
        if (!ec) {
            std::make_shared<Session>(std::move(s), handler)->start();
            return accept();
        }
        // Out of descriptors, most likely: tried again shortly rather than in a busy loop.
        log.limited("control:accept", "control socket: cannot accept: " + ec.message());
        retry.expires_after(std::chrono::milliseconds(100));
        retry.async_wait([this](error_code e) {
            if (!e)
                accept();
        });
    });
}

} // namespace host
