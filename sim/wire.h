// Reply framing on top of the shared frame encoder, with what only the power system's side
// needs: values sent as blank fill, and re-sealing a frame after its text was changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// An INFO field as the power system sends it: the bytes, and for each byte whether it goes
// as two ASCII blanks (fill for a value the power system does not have) instead of hex.
struct Info {
    std::vector<uint8_t> bytes;
    std::vector<bool> fill;

    void u8(uint8_t b) {
        bytes.push_back(b);
        fill.push_back(false);
    }
    // A big-endian 16-bit value; `as_fill` sends both bytes as blanks.
    void u16(uint16_t v, bool as_fill = false) {
        bytes.push_back(static_cast<uint8_t>(v >> 8));
        bytes.push_back(static_cast<uint8_t>(v & 0xFF));
        fill.insert(fill.end(), 2, as_fill);
    }
    size_t size() const { return bytes.size(); }
};

// The whole frame, SOI to EOI; CHKSUM is computed over the characters as sent, blanks
// included.
std::string encode_reply(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t rtn, const Info &info);

// Recomputes the CHKSUM of a whole frame (SOI ... CHKSUM EOI) from its characters as they
// now stand. Frames shorter than the smallest legal frame are left alone.
void reseal(std::string &frame);

// Value conversions of the replies: hundredths (V, A, Hz) and whole units, both clamped to
// the unsigned 16-bit range.
uint16_t hundredths(double v);
uint16_t whole(double v);

} // namespace sim
