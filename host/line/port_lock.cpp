#include "host/line/port_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {
namespace {

// The system's lock folder of the serial tools: /run/lock on Debian, /var/lock on OpenWrt.
const char *const kLockFolders[] = {"/run/lock", "/var/lock"};

bool running(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// The process id a lock file holds: ten characters, as the serial tools write it (a binary
// number, as some old ones did, is read too).
pid_t pid_in(const std::string &file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[32] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n == static_cast<ssize_t>(sizeof(pid_t)) && !std::strchr(text, '\n')) {
        pid_t binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary;
    }
    return n > 0 ? static_cast<pid_t>(std::strtol(text, nullptr, 10)) : 0;
}

struct flock whole_file(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// "tcp:10.0.0.5:4001" -> "tcp_10.0.0.5_4001": a file name of the port's own.
std::string file_name_of(const std::string &port) {
    std::string name = port;
    for (char &c : name)
        if (c == '/' || c == ':' || c == ' ')
            c = '_';
    return name;
}

std::string record_file(const std::string &port, const PortLocation &where,
                        const std::string &run_folder) {
    if (run_folder.empty())
        return "";
    const std::string name = where.kind == PortLocation::Kind::Serial
                                 ? PortLock::serial_lock_file(where.path)
                                 : "LCK.." + file_name_of(port);
    const auto slash = name.rfind('/');
    return run_folder + "/" + (slash == std::string::npos ? name : name.substr(slash + 1));
}

// The process holding the record lock on `file`; 0 when none does.
pid_t record_holder(const std::string &file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct flock lock = whole_file(F_WRLCK);
    const bool held = ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return held ? lock.l_pid : 0;
}

std::string busy_text(const std::string &port, pid_t pid) {
    return "port " + port + ": in use by process " + std::to_string(pid) +
           "; a port is polled by one program at a time (mpx23-host status shows a running "
           "host's devices)";
}

} // namespace

// The device the path names, its symbolic links followed (/dev/serial/by-id/... is a link to
// the ttyUSB it is now), as the serial tools name its lock: LCK..ttyUSB0, LCK..pts_3.
std::string PortLock::serial_lock_file(const std::string &device_path) {
    char real[PATH_MAX];
    std::string path = ::realpath(device_path.c_str(), real) ? real : device_path;
    if (path.rfind("/dev/", 0) == 0)
        path = path.substr(5);
    for (char &c : path)
        if (c == '/')
            c = '_';
    for (const char *folder : kLockFolders)
        if (::access(folder, W_OK | X_OK) == 0)
            return std::string(folder) + "/LCK.." + path;
    return "";
}

pid_t PortLock::holder(const std::string &port, const PortLocation &where,
                       const std::string &run_folder) {
    if (where.kind == PortLocation::Kind::Sim)
        return 0;
    if (const pid_t pid = record_holder(record_file(port, where, run_folder)))
        return pid;
    if (where.kind != PortLocation::Kind::Serial)
        return 0;
    const std::string file = serial_lock_file(where.path);
    const pid_t pid = file.empty() ? 0 : pid_in(file);
    return running(pid) ? pid : 0;
}

PortLock::PortLock(const std::string &port, const PortLocation &where,
                   const std::string &run_folder, Log &log) {
    if (where.kind == PortLocation::Kind::Sim)
        return;
    if (where.kind == PortLocation::Kind::Serial)
        take_serial_lock(port, where.path, log);
    try {
        take_record_lock(port, record_file(port, where, run_folder));
    } catch (...) {
        if (!serial_file.empty())
            ::unlink(serial_file.c_str());
        throw;
    }
}

PortLock::~PortLock() {
    if (!serial_file.empty() && pid_in(serial_file) == ::getpid())
        ::unlink(serial_file.c_str());
    if (record_fd >= 0)
        ::close(record_fd);
}

// Made whole before it is named: another program never reads a lock file half written.
void PortLock::take_serial_lock(const std::string &port, const std::string &device_path, Log &log) {
    const std::string file = serial_lock_file(device_path);
    if (file.empty())
        return; // no lock folder this user may write: the record lock alone
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    const std::string made = file + "." + std::to_string(::getpid());
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return;
        const bool written =
            ::write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
        ::close(fd);
        const bool linked = written && ::link(made.c_str(), file.c_str()) == 0;
        ::unlink(made.c_str());
        if (linked) {
            serial_file = file;
            return;
        }
        const pid_t pid = pid_in(file);
        if (pid == ::getpid())
            return; // this host's own, for another device of the same line
        if (running(pid))
            throw PortBusy(busy_text(port, pid) + " (" + file + ")", pid);
        log.line("port " + port + ": the lock of process " + std::to_string(pid) +
                 ", which no longer runs, taken over (" + file + ")");
        ::unlink(file.c_str());
    }
}

void PortLock::take_record_lock(const std::string &port, const std::string &file) {
    if (file.empty())
        return;
    record_fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (record_fd < 0)
        return; // a folder without room for it: the serial lock alone
    struct flock lock = whole_file(F_WRLCK);
    if (::fcntl(record_fd, F_SETLK, &lock) == 0) {
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(record_fd, 0) != 0 || ::write(record_fd, pid.data(), pid.size()) < 0) {
            // The record lock holds; the number in the file is for people only.
        }
        return;
    }
    const pid_t holder = record_holder(file);
    ::close(record_fd);
    record_fd = -1;
    if (holder > 0 && holder != ::getpid())
        throw PortBusy(busy_text(port, holder), holder);
}

} // namespace host
