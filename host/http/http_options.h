// What the HTTP server is told by the command line or the configuration file.
#pragma once

#include <string>

namespace host {

// Serving /metrics, the live page and /api/; off while `listen` is empty.
struct HttpOptions {
    std::string listen; // "[ADDRESS:]PORT"; without an address, loopback only
    unsigned max_connections = 16;
    double timeout = 10.0; // seconds a connection may idle, or take to send a request
};

} // namespace host
