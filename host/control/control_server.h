// The running host's control socket: a Unix-domain socket in its run folder through which the
// programs of the machine (the command line first) ask it instead of opening its ports. One
// request a connection, as one line of JSON; one answer, as one line of JSON, when it is ready
// (a control request's once the device has answered; a long one written as its reader takes
// it, and the reader dropped when it takes nothing for kRequestSeconds). Who may ask is who may
// open the socket file: its owner and group. Nothing of it listens on the network.
#pragma once

#include "host/common/body_pieces.h"
#include "host/common/log.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

namespace host {

// The asker, as the system tells it (not as it says).
struct Asker {
    uid_t uid = 0;
    pid_t pid = 0;
};

class ControlServer {
public:
    // The answer to a request, given once, now or later, from the event loop: the whole line,
    // or its start and the pieces that follow it (a history listing, too long to hold whole),
    // each written once the one before is.
    struct Answer {
        std::function<void(const std::string &line)> whole;
        std::function<void(std::string start, BodyPieces rest)> in_pieces;
        void operator()(const std::string &line) const { whole(line); }
    };
    // Handles one request line; calls `answer` once, now or later, from the event loop.
    using Handler = std::function<void(const std::string &request, const Asker &, Answer)>;

    // The longest request taken, and how long a client may take to send it.
    static constexpr size_t kLargestRequest = 4096;
    static constexpr int kRequestSeconds = 5;

    // Listens at `path` (a stale socket file there is replaced; a live one is refused with
    // ConfigError); the file is the owner's and group's (0660) and goes at the end.
    ControlServer(boost::asio::io_context &io, Log &log, std::string path, Handler handler);
    ~ControlServer();
    const std::string &path() const { return socket_path; }

    struct Session;

private:
    void accept();

    Log &log;
    std::string socket_path;
    Handler handler;
    boost::asio::local::stream_protocol::acceptor acceptor;
    boost::asio::steady_timer retry;
};

// The socket's path in `folder` for this process: "FOLDER/mpx23-host.PID.sock".
std::string control_socket_path(const std::string &folder);

} // namespace host
