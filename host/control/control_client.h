// Asking a running host through its control socket: finding the hosts that run on this machine
// (their sockets in the run folders), and one request with its answer.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace host {

// The sockets of hosts that may be running, newest folder first; `given` ("--socket PATH"): that
// one only.
std::vector<std::string> host_sockets(const std::string &given = "");

// Sends one request line and reads the answer line; nothing when no host answers there (a
// socket left by a host that ended, one this user may not open) or within `patience`.
// `refused` says why when the socket was there but could not be opened.
std::optional<std::string> ask_host(const std::string &socket, const std::string &request,
                                    std::chrono::milliseconds patience,
                                    std::string *refused = nullptr);

} // namespace host
