#include "host/control/control_client.h"

#include "host/common/run_folder.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace host {

std::vector<std::string> host_sockets(const std::string &given) {
    if (!given.empty())
        return {given};
    std::vector<std::string> found, seen;
    for (const std::string &folder : run_folders()) {
        // One folder under two names (/var/run is /run on many systems) is looked in once.
        char real[PATH_MAX];
        const std::string key = ::realpath(folder.c_str(), real) ? real : folder;
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            continue;
        seen.push_back(key);
        DIR *d = ::opendir(folder.c_str());
        if (!d)
            continue;
        while (const dirent *e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.rfind("mpx23-host.", 0) == 0 && name.size() > 5 &&
                name.compare(name.size() - 5, 5, ".sock") == 0)
                found.push_back(folder + "/" + name);
        }
        ::closedir(d);
    }
    return found;
}

namespace {

// Waits for the socket to become ready for `events`; false at the deadline.
bool ready(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return false;
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
}

} // namespace

std::optional<std::string> ask_host(const std::string &socket_path, const std::string &request,
                                    std::chrono::milliseconds patience, std::string *refused) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path)
        return std::nullopt;
    std::strcpy(address.sun_path, socket_path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        if (refused && (errno == EACCES || errno == EPERM))
            *refused = socket_path + ": " + std::strerror(errno);
        ::close(fd);
        return std::nullopt;
    }
    const std::string line = request + "\n";
    std::string answer;
    bool whole =
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    while (whole && answer.find('\n') == std::string::npos && ready(fd, POLLIN, deadline)) {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    const auto end = answer.find('\n');
    if (end == std::string::npos)
        return std::nullopt;
    return answer.substr(0, end);
}

} // namespace host
