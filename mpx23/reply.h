// A received reply as the polling steps and the decoders read it, built once from the engine's
// frame (rx_frame) through the bounds-checked reader.
#pragma once

#include "mpx23/byte_reader.h"

#include <cstdint>

struct Reply {
    // A run of the reply's bytes as a decoder takes them: start and count.
    struct Span {
        const unsigned char *data;
        int len;
    };

    uint8_t group = 0;     // CID1 of the replying group
    uint8_t data_flag = 0; // INFO[0]; 0 when INFO is empty
    uint8_t units = 0;     // INFO[1]: distribution units the reply covers; 0 when absent
    Span info{nullptr, 0}; // the whole INFO field

    // The INFO field behind its data flag and unit count: what the AC and DC distribution
    // decoders read. Empty when INFO holds no more than those two bytes.
    Span body() const {
        return info.len > 2 ? Span{info.data + 2, info.len - 2} : Span{info.data + 2, 0};
    }

    // The engine's frame: VER ADR CID1 RTN LENID(2, low byte first) INFO(LENID / 2).
    static Reply of_frame(const unsigned char *frame) {
        Reply reply;
        ByteReader header(frame, kHeaderLength);
        uint8_t skipped = 0, lenid_lo = 0, lenid_hi = 0;
        header.byte(skipped);
        header.byte(skipped);
        header.byte(reply.group);
        header.byte(skipped);
        header.byte(lenid_lo);
        header.byte(lenid_hi);
        reply.info = {frame + kHeaderLength, (lenid_lo | lenid_hi << 8) >> 1};
        ByteReader info(reply.info.data, reply.info.len);
        info.byte(reply.data_flag);
        info.byte(reply.units);
        return reply;
    }

private:
    static constexpr int kHeaderLength = 6;
};
