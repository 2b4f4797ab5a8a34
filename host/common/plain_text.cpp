#include "host/common/plain_text.h"

namespace host {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

bool continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The code point of a well-formed sequence of `n` bytes at `p`.
unsigned code_point(const unsigned char *p, size_t n) {
    static const unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    unsigned c = p[0] & kLeadMask[n];
    for (size_t i = 1; i < n; ++i)
        c = c << 6 | (p[i] & 0x3F);
    return c;
}

bool control(unsigned c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

} // namespace

const char *const kPlainTextExpected = "expected UTF-8 text without control characters";

size_t utf8_sequence(const unsigned char *p, const unsigned char *end) {
    const unsigned char lead = *p;
    const size_t n = lead < 0x80                    ? 1
                     : lead >= 0xC2 && lead <= 0xDF ? 2
                     : (lead & 0xF0) == 0xE0        ? 3
                     : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                    : 0;
    if (n == 0 || static_cast<size_t>(end - p) < n)
        return 0;
    for (size_t i = 1; i < n; ++i)
        if (!continuation(p[i]))
            return 0;
    static const unsigned kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const unsigned c = code_point(p, n);
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    return c < kSmallest[n] || surrogate || c > 0x10FFFF ? 0 : n;
}

bool plain_text(const std::string &text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        const size_t n = utf8_sequence(p, end);
        if (n == 0 || control(code_point(p, n)))
            return false;
        p += n;
    }
    return true;
}

std::string printable(const std::string &text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        const size_t n = utf8_sequence(p, end);
        if (n != 0 && !control(code_point(p, n)) && *p != '\\') {
            out.append(reinterpret_cast<const char *>(p), n);
            p += n;
            continue;
        }
        const size_t bytes = n == 0 ? 1 : n; // a C1 control is two bytes, each shown
        for (size_t i = 0; i < bytes; ++i) {
            if (p[i] == '\\') {
                out += "\\\\";
                continue;
            }
            const char escaped[] = {'\\', 'x', kHex[p[i] >> 4], kHex[p[i] & 15]};
            out.append(escaped, sizeof escaped);
        }
        p += bytes;
    }
    return out;
}

std::string valid_utf8(const std::string &text) {
    std::string out;
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        const size_t n = utf8_sequence(p, end);
        if (n == 0) {
            out += kReplacement;
            ++p;
        } else {
            out.append(reinterpret_cast<const char *>(p), n);
            p += n;
        }
    }
    return out;
}

} // namespace host
