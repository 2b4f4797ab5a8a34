#include "capture/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace capture {
namespace {

using Direction = CaptureRecord::Direction;

uint64_t monotonic_us() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

CaptureWriter::CaptureWriter(std::string file, uint64_t max, Tell tell)
    : path(std::move(file)), max_bytes(max), tell(std::move(tell)) {
    open_file();
    if (fd < 0)
        throw std::runtime_error("--capture: cannot open " + path + ": " + std::strerror(errno));
}

CaptureWriter::~CaptureWriter() {
    if (fd >= 0)
        ::close(fd);
}

void CaptureWriter::open_file() {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    struct stat st {};
    size = fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    const std::string header = std::string(kCaptureHeader) + '\n';
    if (size == 0 && write_all(fd, header))
        size = header.size();
}

void CaptureWriter::rotate() {
    ::close(fd);
    fd = -1;
    const std::string older = path + ".1";
    if (std::rename(path.c_str(), older.c_str()) != 0) {
        stop("capture " + path + ": cannot rotate to " + older + ": " + std::strerror(errno) +
             "; recording stopped");
        return;
    }
    open_file();
}

void CaptureWriter::stop(const std::string &why) {
    failed = true;
    if (tell)
        tell(why);
}

void CaptureWriter::record(Direction direction, const std::string &port, const std::string &device,
                           const unsigned char *data, size_t len) {
    CaptureRecord r;
    r.time_us = monotonic_us();
    r.direction = direction;
    r.port = port;
    r.device = device;
    r.bytes.assign(reinterpret_cast<const char *>(data), len);
    record(r);
}

void CaptureWriter::record(const CaptureRecord &r) {
    if (failed)
        return;
    const std::string line = format_record(r);
    if (fd >= 0 && size > 0 && size + line.size() > max_bytes)
        rotate();
    if (failed)
        return;
    if (fd >= 0 && write_all(fd, line)) {
        size += line.size();
        return;
    }
    stop("capture " + path + ": " + std::strerror(errno) + "; recording stopped");
}

} // namespace capture
