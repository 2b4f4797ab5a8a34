#include "host/stores/history_lock.h"

#include "host/stores/database.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace host {
namespace {

struct flock whole_file(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

} // namespace

HistoryLock::HistoryLock(const std::string &history_path) {
    const std::string path = history_path + ".lock";
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    struct flock lock = whole_file(F_WRLCK);
    if (fcntl(fd, F_SETLK, &lock) == 0)
        return;
    const int error = errno;
    struct flock holder = whole_file(F_WRLCK);
    const bool known = fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK;
    ::close(fd);
    fd = -1;
    if (error != EAGAIN && error != EACCES)
        return; // a file system without record locks: no lock
    throw HistoryError("history " + history_path + ": in use by another host" +
                       (known ? " (process " + std::to_string(holder.l_pid) + ")" : "") +
                       "; a history file serves one host at a time");
}

HistoryLock::~HistoryLock() {
    if (fd >= 0)
        ::close(fd);
}

} // namespace host
