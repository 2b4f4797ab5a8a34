// The driver's diagnostic lines on standard output. Most are a fixed label and one or two
// decimal numbers; they are put together here without printf's format parsing, which would
// otherwise cost more than decoding the reply that prints them. The bytes are those printf
// would write for the same label and "%d" (or "%f": say_fixed6).
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace diagnostics {

// "<label><n0>\n", or with two numbers "<label><n0> <n1>\n".
inline void say_numbers(const char *label, const long *numbers, int count) {
    char line[96];
    const size_t label_len = std::strlen(label);
    if (label_len > 64)
        return;
    std::memcpy(line, label, label_len);
    char *end = line + label_len;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            *end++ = ' ';
        end = std::to_chars(end, line + sizeof line - 2, numbers[i]).ptr;
    }
    *end++ = '\n';
    std::fwrite(line, 1, static_cast<size_t>(end - line), stdout);
}

inline void say(const char *label, long number) {
    say_numbers(label, &number, 1);
}

inline void say(const char *label, long number, long second) {
    const long numbers[] = {number, second};
    say_numbers(label, numbers, 2);
}

// Writes `number` as printf's "%f" writes it: a sign when the sign bit is set (also for zero),
// the integer digits, '.' and six decimals, the exact binary value rounded half to even. Only
// for finite numbers below 2^32 in magnitude (at most 18 characters); returns null, nothing
// written, for any other.
inline char *put_fixed6(char *out, float number) {
    if (!(number > -4294967296.0f && number < 4294967296.0f))
        return nullptr; // also NaN
    uint32_t bits = 0;
    std::memcpy(&bits, &number, sizeof bits);
    const int biased = static_cast<int>(bits >> 23 & 0xFF);
    uint64_t mantissa = bits & 0x7FFFFF; // the value is mantissa x 2^exponent
    int exponent = -149;
    if (biased != 0) {
        mantissa |= 0x800000;
        exponent = biased - 150;
    }
    uint64_t millionths = 0;
    if (exponent >= 0) { // below 2^32: exponent <= 8, the product stays below 2^53
        millionths = (mantissa << exponent) * 1000000;
    } else if (exponent > -64) {
        const int shift = -exponent;
        const uint64_t exact = mantissa * 1000000; // below 2^44
        const uint64_t rest = exact & ((uint64_t{1} << shift) - 1);
        const uint64_t half = uint64_t{1} << (shift - 1);
        millionths = exact >> shift;
        if (rest > half || (rest == half && (millionths & 1)))
            ++millionths;
    } // else below 2^-40: 10^6 x mantissa (below 2^44) is less than half a unit: zero
    if (bits >> 31)
        *out++ = '-';
    out = std::to_chars(out, out + 10, millionths / 1000000).ptr;
    *out++ = '.';
    const uint32_t fraction = static_cast<uint32_t>(millionths % 1000000);
    for (uint32_t unit = 100000; unit > 0; unit /= 10)
        *out++ = static_cast<char>('0' + fraction / unit % 10);
    return out;
}

// "<label><number as "%f" writes it>\n". printf's floating-point formatting would cost more
// than the whole round's decoding; it is left to printf only for numbers put_fixed6 does not
// take, which no reply carries.
inline void say_fixed6(const char *label, float number) {
    char line[96];
    const size_t label_len = std::strlen(label);
    if (label_len > 64)
        return;
    std::memcpy(line, label, label_len);
    char *end = put_fixed6(line + label_len, number);
    if (!end) {
        std::printf("%s%f\n", label, static_cast<double>(number));
        return;
    }
    *end++ = '\n';
    std::fwrite(line, 1, static_cast<size_t>(end - line), stdout);
}

// A fixed line; `line` ends with its line end.
inline void say(const char *line) {
    std::fputs(line, stdout);
}

} // namespace diagnostics
