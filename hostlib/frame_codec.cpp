#include "hostlib/frame_codec.h"

#include <cstring>

namespace frame {
namespace {

const char kHexDigits[] = "0123456789ABCDEF";

// Value of each character as a hex digit (upper or lower case), -1 for any other.
struct HexTable {
    int8_t value[256];
    constexpr HexTable() : value() {
        for (int c = 0; c < 256; ++c)
            value[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                       : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                       : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                              : static_cast<int8_t>(-1);
    }
};
constexpr HexTable kHex;

int hex_value(char c) {
    return kHex.value[static_cast<uint8_t>(c)];
}

// Decodes the two characters at `p`; blank pairs decode to 0x20 when allowed (INFO fill).
bool decode_pair(const char *p, bool blanks_allowed, uint8_t &out) {
    if (blanks_allowed && p[0] == ' ' && p[1] == ' ') {
        out = 0x20;
        return true;
    }
    int hi = hex_value(p[0]);
    int lo = hex_value(p[1]);
    if (hi < 0 || lo < 0)
        return false;
    out = static_cast<uint8_t>(hi << 4 | lo);
    return true;
}

char *put_hex(char *out, uint8_t byte) {
    *out++ = kHexDigits[byte >> 4];
    *out++ = kHexDigits[byte & 0x0F];
    return out;
}

} // namespace

uint8_t length_checksum(uint16_t lenid) {
    unsigned sum = (lenid & 0x0F) + ((lenid >> 4) & 0x0F) + ((lenid >> 8) & 0x0F);
    return static_cast<uint8_t>((~sum + 1) & 0x0F);
}

uint16_t checksum(const char *chars, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += static_cast<uint8_t>(chars[i]);
    return static_cast<uint16_t>(~sum + 1);
}

size_t encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t *info,
              size_t info_len, char *out) {
    if (info_len > kMaxInfo)
        return 0;
    const auto lenid = static_cast<uint16_t>(2 * info_len);
    const auto length = static_cast<uint16_t>(length_checksum(lenid) << 12 | lenid);
    char *p = out;
    *p++ = static_cast<char>(kSOI);
    for (uint8_t byte : {ver, adr, cid1, cid2, static_cast<uint8_t>(length >> 8),
                         static_cast<uint8_t>(length & 0xFF)})
        p = put_hex(p, byte);
    for (size_t i = 0; i < info_len; ++i)
        p = put_hex(p, info[i]);
    const uint16_t sum = checksum(out + 1, static_cast<size_t>(p - out - 1));
    p = put_hex(p, static_cast<uint8_t>(sum >> 8));
    p = put_hex(p, static_cast<uint8_t>(sum & 0xFF));
    *p++ = static_cast<char>(kEOI);
    return static_cast<size_t>(p - out);
}

std::string encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t *info,
                   size_t info_len) {
    std::string out(encoded_size(info_len), '\0');
    out.resize(encode(ver, adr, cid1, cid2, info, info_len, &out[0]));
    return out;
}

Receiver::Event Receiver::push_special(uint8_t byte) {
    if (byte == kSOI) {
        const bool cut = in_frame;
        in_frame = true;
        text_len = 0;
        return cut ? reject(FrameFault::Cut) : Event::None;
    }
    if (!in_frame)
        return Event::None; // noise between frames
    if (byte == kEOI) {
        in_frame = false;
        return check();
    }
    // text_len == kMaxChars: no EOI where the largest legal frame ends
    in_frame = false;
    return reject(FrameFault::Overflow);
}

Receiver::Event Receiver::check() {
    if (text_len < 16 || text_len % 2 != 0)
        return reject(FrameFault::Length);
    for (unsigned i = 0; i < kHeaderBytes; ++i)
        if (!decode_pair(text + 2 * i, false, bin[i]))
            return reject(FrameFault::Character);
    const uint8_t length_hi = bin[4];
    const uint8_t length_lo = bin[5];
    const unsigned nibbles =
        (length_hi >> 4) + (length_hi & 0x0F) + (length_lo >> 4) + (length_lo & 0x0F);
    if (nibbles % 16 != 0)
        return reject(FrameFault::LengthChecksum);
    const unsigned lenid = (length_hi & 0x0F) << 8 | length_lo;
    if (lenid % 2 != 0 || text_len != 16 + lenid)
        return reject(FrameFault::Length);
    info_bytes = lenid / 2;
    for (unsigned i = 0; i < info_bytes; ++i)
        if (!decode_pair(text + 12 + 2 * i, true, bin[kHeaderBytes + i]))
            return reject(FrameFault::Character);
    uint8_t sum_hi = 0, sum_lo = 0;
    const char *sum_text = text + 12 + lenid;
    if (!decode_pair(sum_text, false, sum_hi) || !decode_pair(sum_text + 2, false, sum_lo))
        return reject(FrameFault::Character);
    const uint16_t sent = static_cast<uint16_t>(sum_hi << 8 | sum_lo);
    if (checksum(text, 12 + lenid) != sent)
        return reject(FrameFault::Checksum);
    bin[4] = static_cast<uint8_t>(lenid & 0xFF);
    bin[5] = static_cast<uint8_t>(lenid >> 8);
    return Event::Frame;
}

} // namespace frame
