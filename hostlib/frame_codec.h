// Wire framing of the power-system protocol: ASCII-hex frames between SOI (0x7E) and EOI (0x0D)
//
//   ~ VER ADR CID1 CID2 LENGTH(LCHKSUM nibble + 12-bit LENID) INFO CHKSUM \r
//
// Every field between SOI and EOI goes as upper-case hex, two characters per byte. Shared by the
// protocol engine (commands out, replies in) and the simulator (commands in, replies out).
#pragma once

#include "framework/pmbus_protocol.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace frame {

constexpr uint8_t kSOI = 0x7E;
constexpr uint8_t kEOI = 0x0D;
constexpr unsigned kMaxInfo = 2047;               // bytes of INFO (LENID up to 4094)
constexpr unsigned kHeaderBytes = 6;              // VER ADR CID1 CID2 LENGTH(2)
constexpr unsigned kMaxChars = 16 + 2 * kMaxInfo; // characters between SOI and EOI
constexpr unsigned kMaxBinary = kHeaderBytes + kMaxInfo;

// The LCHKSUM nibble for a LENID.
uint8_t length_checksum(uint16_t lenid);
// The CHKSUM of `n` characters (VER through INFO as sent).
uint16_t checksum(const char *chars, size_t n);

// Characters a frame with `info_len` INFO bytes occupies on the wire, SOI and EOI included.
constexpr size_t encoded_size(size_t info_len) {
    return 18 + 2 * info_len;
}

// Writes the whole frame (SOI..EOI) to `out`, which must hold encoded_size(info_len) bytes.
// Returns the number of bytes written, or 0 when info_len exceeds kMaxInfo.
size_t encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t *info,
              size_t info_len, char *out);
std::string encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t *info,
                   size_t info_len);

// Receive state machine. Takes bytes one at a time, in whatever pieces they came: skips
// everything before SOI, restarts at every SOI, and checks each frame at its EOI. Never reads
// or writes past its buffers.
class Receiver {
public:
    enum class Event { None, Frame, Fault };

    Event push(uint8_t byte) {
        // The common case, a character inside a frame, stays inline.
        if (in_frame && byte != kSOI && byte != kEOI && text_len < kMaxChars) {
            text[text_len++] = static_cast<char>(byte);
            return Event::None;
        }
        return push_special(byte);
    }

    // After Event::Fault: why the frame was dropped.
    FrameFault fault() const { return last_fault; }
    // After Event::Frame: VER ADR CID1 CID2 LENID(low, high) INFO...
    const uint8_t *binary() const { return bin; }
    uint8_t *binary() { return bin; }
    unsigned info_len() const { return info_bytes; }
    // After Event::Frame: the frame's characters between SOI and EOI.
    const char *chars() const { return text; }
    unsigned char_count() const { return text_len; }
    // True while a frame has started and not yet ended.
    bool receiving() const { return in_frame; }

private:
    Event push_special(uint8_t byte);
    Event check();
    Event reject(FrameFault fault) {
        last_fault = fault;
        return Event::Fault;
    }

    char text[kMaxChars];
    unsigned text_len = 0;
    bool in_frame = false;
    uint8_t bin[kMaxBinary];
    unsigned info_bytes = 0;
    FrameFault last_fault = FrameFault::Character;
};

} // namespace frame
