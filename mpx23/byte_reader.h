// A bounds-checked reader over a reply's bytes. Every decoder reads through it, so no decoder
// can read beyond its input: a field that would lie outside ends the decode at that field.
#pragma once

#include <cstdint>

class ByteReader {
public:
    ByteReader(const unsigned char *data, int len) : data(data), len(len > 0 && data ? len : 0) {}

    // Reads one byte into `out`; false (and nothing read) when it lies outside the input.
    bool byte(uint8_t &out) {
        if (pos < 0 || pos >= len)
            return false;
        out = data[pos++];
        return true;
    }
    // Reads a big-endian 16-bit value as its two bytes.
    bool pair(uint8_t &hi, uint8_t &lo) {
        if (pos < 0 || len - pos < 2)
            return false;
        hi = data[pos];
        lo = data[pos + 1];
        pos += 2;
        return true;
    }
    // Copies `n` bytes; false (nothing copied) when they do not all lie inside the input.
    bool bytes(uint8_t *out, int n) {
        if (pos < 0 || n < 0 || len - pos < n)
            return false;
        for (int i = 0; i < n; ++i)
            out[i] = data[pos + i];
        pos += n;
        return true;
    }
    // Steps over announced bytes without reading them; the position may pass the end.
    void skip(int n) { pos += n; }

    int consumed() const { return pos; }
    int length() const { return len; }
    bool within() const { return pos <= len; }

private:
    const unsigned char *data;
    int len;
    int pos = 0;
};
