#include "capture/transcript.h"

#include "hostlib/frame_codec.h"
#include "hostlib/host_services.h"
#include "protocol/codes.h"

#include <cstdio>
#include <map>
#include <utility>

namespace capture {
namespace {

using Direction = CaptureRecord::Direction;

std::string hex8(uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

// A code by its name, or in hex when the protocol gives it none.
std::string named(const char *name, uint8_t code) {
    return name ? std::string(name) : hex8(code);
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

// What one direction of one line has received so far.
struct Stream {
    frame::Receiver receiver;
    std::string bytes; // since the last frame or fault
};

class Transcript {
public:
    explicit Transcript(const CaptureFile &f) : file(f) {}

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

    void take(const CaptureRecord &r) {
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
        std::string meaning = named(protocol::group_name(b[2]), b[2]) + ", ";
        if (key.second == Direction::Sent) {
            meaning += named(protocol::command_name(b[3]), b[3]);
            last_command[key.first] = s.bytes;
        } else if (last_command[key.first] == s.bytes) {
            meaning = "echo of the command";
        } else {
            meaning += "RTN " + hex8(b[3]) + " " + named(protocol::return_code_name(b[3]), b[3]);
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

    const CaptureFile &file;
    std::map<Key, Stream> streams;
    std::map<Key, std::string> last_device;
    std::map<std::string, std::string> last_command; // by port
    std::vector<std::string> out;
    uint64_t start_us = 0, now_us = 0;
    bool started = false;
};

} // namespace

std::vector<std::string> capture_transcript(const CaptureFile &file) {
    return Transcript(file).lines();
}

} // namespace capture
