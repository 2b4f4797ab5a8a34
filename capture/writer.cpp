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

CaptureWriter::CaptureWriter(std::string file, uint64_t max, Tell tell, TroubleEpisode::Now now)
    : path(std::move(file)), max_bytes(max), tell(std::move(tell)),
      trouble_episode(std::move(now)) {
    open_file();
    if (fd < 0)
        throw CaptureError("--capture: cannot open " + path + ": " + std::strerror(errno));
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

// A rotation that cannot rename keeps appending to FILE (past the limit) and tries again with
// the next record.
bool CaptureWriter::rotate() {
    const std::string older = path + ".1";
    if (std::rename(path.c_str(), older.c_str()) != 0) {
        trouble("cannot rotate to " + older + ": " + std::strerror(errno));
        return false;
    }
    ::close(fd);
    open_file();
    return true;
}

// A full disk or a file-size limit is told once; every record tries again, and the end of the
// trouble says how many were lost.
void CaptureWriter::trouble(const std::string &why) {
    if (trouble_episode.failed() && tell)
        tell("capture " + path + ": " + why + "; recording waits until it can write again");
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
    const std::string line = format_record(r);
    if (fd < 0)
        open_file();
    if (fd < 0)
        return trouble(std::string("cannot open: ") + std::strerror(errno));
    if (size > 0 && size + line.size() > max_bytes && !rotate())
        return;
    if (!write_all(fd, line)) {
        const int error = errno;
        // A record cut short would hide every later one from a reader: the file goes back to
        // its last whole record.
        const bool restored = ftruncate(fd, static_cast<off_t>(size)) == 0;
        return trouble(std::string(std::strerror(error)) + (restored ? "" : " (a record is cut)"));
    }
    size += line.size();
    if (trouble_episode.succeeded() && tell)
        tell("capture " + path + ": recording again (" +
             std::to_string(trouble_episode.take_lost()) + " records not recorded)");
}

} // namespace capture
