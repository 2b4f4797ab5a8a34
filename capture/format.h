// The capture format: what went over a line, byte for byte, as text that survives a kill.
//
// A library of its own because both ends read it: the reference host writes captures and shows
// them, and mpx23-sim answers from them (--replay). It depends on neither, so that neither has
// to link the other.
//
// One record per line, fields separated by one blank:
//
//   # mpx23 capture 1
//   TIME DIR PORT DEVICE BYTES
//   5012345678 > /dev/ttyS1 1001 ~20014042E002FFFD10%0D
//   5012401234 < /dev/ttyS1 1001 ~200140004...%0D
//
//   TIME    microseconds of the host's monotonic clock when the bytes were written or read
//   DIR     ">" controller to device (written), "<" device to controller (read)
//   PORT    the line's port text
//   DEVICE  data identifier of the device that held the line, "-" for none (bytes nobody
//           asked for)
//   BYTES   the bytes as they went: printable ASCII as itself, blank, "%" and every other
//           byte as %XX (upper-case hex); PORT is escaped the same way
//
// Lines starting with "#" are comments. A writer appends whole lines and flushes each one, so
// a file cut short (a killed host, a full disk) holds every record up to its last newline; a
// reader drops the unfinished tail and skips lines it cannot read, counting both.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace capture {

// A capture file that cannot be written or read.
struct CaptureError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CaptureRecord {
    enum class Direction { Sent, Received };

    uint64_t time_us = 0;
    Direction direction = Direction::Sent;
    std::string port;
    std::string device; // data identifier as text, or "-"
    std::string bytes;
};

struct CaptureFile {
    std::vector<CaptureRecord> records;
    std::vector<unsigned> bad_lines; // line numbers (from 1) that are not records
    bool cut = false;                // the file ends inside a record, which was dropped
};

constexpr const char *kCaptureHeader = "# mpx23 capture 1";

// The %XX escaping of BYTES and PORT, and its inverse (false for a malformed text).
std::string escape_bytes(const std::string &bytes);
bool unescape_bytes(const std::string &text, std::string &bytes);

// One record as a line, newline included.
std::string format_record(const CaptureRecord &record);
// False when `line` (without its newline) is not a record.
bool parse_record(const std::string &line, CaptureRecord &record);

// The records of a capture's text; `text` may end inside a record.
CaptureFile parse_capture(const std::string &text);
// Throws CaptureError when the file cannot be read.
CaptureFile read_capture(const std::string &path);

} // namespace capture
