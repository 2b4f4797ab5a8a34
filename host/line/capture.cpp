#include "host/line/capture.h"

#include "hostlib/frame_codec.h"
#include "hostlib/host_services.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

namespace host {
namespace {

using Direction = sim::CaptureRecord::Direction;

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

CaptureWriter::CaptureWriter(std::string file, uint64_t max, Log &log)
    : path(std::move(file)), max_bytes(max), log(log) {
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
    const std::string header = std::string(sim::kCaptureHeader) + '\n';
    if (size == 0 && write_all(fd, header))
        size = header.size();
}

void CaptureWriter::rotate() {
    ::close(fd);
    fd = -1;
    const std::string older = path + ".1";
    if (std::rename(path.c_str(), older.c_str()) != 0) {
        failed = true;
        log.error("capture " + path + ": cannot rotate to " + older + ": " + std::strerror(errno) +
                  "; recording stopped");
        return;
    }
    open_file();
}

void CaptureWriter::record(Direction direction, const std::string &port, const std::string &device,
                           const unsigned char *data, size_t len) {
    sim::CaptureRecord r;
    r.time_us = monotonic_us();
    r.direction = direction;
    r.port = port;
    r.device = device;
    r.bytes.assign(reinterpret_cast<const char *>(data), len);
    record(r);
}

void CaptureWriter::record(const sim::CaptureRecord &r) {
    if (failed)
        return;
    const std::string line = sim::format_record(r);
    if (fd >= 0 && size > 0 && size + line.size() > max_bytes)
        rotate();
    if (fd >= 0 && write_all(fd, line)) {
        size += line.size();
        return;
    }
    if (!failed)
        log.error("capture " + path + ": " + std::strerror(errno) + "; recording stopped");
    failed = true;
}

// ---- transcript ----------------------------------------------------------------------------

namespace {

struct Named {
    uint8_t code;
    const char *name;
};

const Named kGroups[] = {
    {0x40, "AC distribution"}, {0x41, "rectifier modules"}, {0x42, "DC distribution"}};
const Named kCommands[] = {{0x42, "analogue values"}, {0x43, "status"},
                           {0x44, "alarms"},          {0x45, "remote control"},
                           {0x47, "parameters"},      {0x49, "set a parameter"}};
const Named kReturnCodes[] = {{0x00, "normal"},       {0x01, "VER error"},
                              {0x02, "CHKSUM error"}, {0x03, "LCHKSUM error"},
                              {0x04, "CID2 invalid"}, {0x05, "command format error"},
                              {0x06, "invalid data"}};

template <size_t N> std::string name_of(const Named (&table)[N], uint8_t code) {
    for (const auto &n : table)
        if (n.code == code)
            return n.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", code);
    return text;
}

std::string return_code_name(uint8_t rtn) {
    if (rtn >= 0x80 && rtn <= 0xEF)
        return "device-specific error";
    return name_of(kReturnCodes, rtn);
}

// Bytes as the transcript shows them: printable as is, CR as \r, others as \xNN.
std::string visible(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char text[8];
            std::snprintf(text, sizeof text, "\\x%02X", c);
            out += text;
        }
    }
    return out;
}

std::string hex8(uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

// What one direction of one line has received so far.
struct Stream {
    frame::Receiver receiver;
    std::string bytes; // since the last frame or fault
};

class Transcript {
public:
    explicit Transcript(const sim::CaptureFile &f) : file(f) {}

    std::vector<std::string> lines() {
        for (const auto &r : file.records)
            take(r);
        for (auto &[key, stream] : streams)
            if (!stream.bytes.empty())
                emit(key.first, key.second, last_device[key], stream.bytes,
                     stream.receiver.receiving() ? "unfinished frame at the end"
                                                 : "bytes outside any frame");
        out.push_back(summary());
        return std::move(out);
    }

private:
    using Key = std::pair<std::string, Direction>;

    void take(const sim::CaptureRecord &r) {
        if (!started) {
            start_us = r.time_us;
            started = true;
        }
        now_us = r.time_us;
        const Key key{r.port, r.direction};
        last_device[key] = r.device;
        Stream &s = streams[key];
        for (unsigned char c : r.bytes) {
            const bool was_receiving = s.receiver.receiving();
            if (c == frame::kSOI && !s.bytes.empty() && !was_receiving)
                flush_outside(key, r.device, s);
            s.bytes += static_cast<char>(c);
            const auto event = s.receiver.push(c);
            if (event == frame::Receiver::Event::Frame)
                frame_done(key, r.device, s);
            else if (event == frame::Receiver::Event::Fault)
                fault(key, r.device, s);
        }
    }

    // Bytes before a frame starts: noise, or the rest of a frame that was given up.
    void flush_outside(const Key &key, const std::string &device, Stream &s) {
        emit(key.first, key.second, device, s.bytes, "bytes outside any frame");
        s.bytes.clear();
    }

    void frame_done(const Key &key, const std::string &device, Stream &s) {
        const uint8_t *b = s.receiver.binary();
        std::string meaning = name_of(kGroups, b[2]) + ", ";
        if (key.second == Direction::Sent) {
            meaning += name_of(kCommands, b[3]);
            last_command[key.first] = s.bytes;
        } else if (last_command[key.first] == s.bytes) {
            meaning = "echo of the command";
        } else {
            meaning += "RTN " + hex8(b[3]) + " " + return_code_name(b[3]);
        }
        if (meaning != "echo of the command")
            meaning += ", INFO " + std::to_string(s.receiver.info_len()) + " bytes, ADR " +
                       hex8(b[1]) + ", VER " + hex8(b[0]);
        emit(key.first, key.second, device, split_noise(key, device, s), meaning);
        s.bytes.clear();
    }

    void fault(const Key &key, const std::string &device, Stream &s) {
        const FrameFault f = s.receiver.fault();
        if (f == FrameFault::Cut) {
            // The SOI that cut the frame starts the next one: keep it.
            const std::string next(1, static_cast<char>(frame::kSOI));
            s.bytes.pop_back();
            emit(key.first, key.second, device, split_noise(key, device, s),
                 std::string("framing fault: ") + kvo::fault_name(f));
            s.bytes = next;
            return;
        }
        emit(key.first, key.second, device, split_noise(key, device, s),
             std::string("framing fault: ") + kvo::fault_name(f));
        s.bytes.clear();
    }

    // The frame starts at its (last) SOI; what came before it goes on a line of its own.
    std::string split_noise(const Key &key, const std::string &device, Stream &s) {
        const size_t soi = s.bytes.rfind(static_cast<char>(frame::kSOI));
        if (soi == std::string::npos || soi == 0)
            return s.bytes;
        emit(key.first, key.second, device, s.bytes.substr(0, soi), "bytes outside any frame");
        return s.bytes.substr(soi);
    }

    void emit(const std::string &port, Direction direction, const std::string &device,
              const std::string &bytes, const std::string &meaning) {
        char time[32];
        std::snprintf(time, sizeof time, "%10.6f", static_cast<double>(now_us - start_us) / 1e6);
        out.push_back(std::string(time) + " " + port + " " + device +
                      (direction == Direction::Sent ? " ctl> " : " dev> ") + visible(bytes) + "  " +
                      meaning);
    }

    std::string summary() const {
        std::string text = "capture: " + std::to_string(file.records.size()) + " records";
        if (!file.bad_lines.empty()) {
            text += ", " + std::to_string(file.bad_lines.size()) + " unreadable lines (line";
            for (unsigned n : file.bad_lines)
                text += " " + std::to_string(n);
            text += ")";
        }
        if (file.cut)
            text += ", the file ends inside a record (dropped)";
        return text;
    }

    const sim::CaptureFile &file;
    std::map<Key, Stream> streams;
    std::map<Key, std::string> last_device;
    std::map<std::string, std::string> last_command; // by port
    std::vector<std::string> out;
    uint64_t start_us = 0, now_us = 0;
    bool started = false;
};

} // namespace

std::vector<std::string> capture_transcript(const sim::CaptureFile &file) {
    return Transcript(file).lines();
}

} // namespace host
