// A minimal driver on the buffered device base: it keeps a copy of every reply the engine hands
// it and, when asked, creates a block of a chosen length at its end-of-round work.
#pragma once

#include "framework/pmbus_protocol.h"
#include "framework/uni_buffer_device.h"

#include <cstdint>
#include <functional>
#include <vector>

class ProbeDevice : public UniBufferDevice<PMBusProtocol, 5312> {
public:
    int process_payload() override {
        const unsigned lenid = rx_frame[4] | rx_frame[5] << 8;
        replies.emplace_back(rx_frame, rx_frame + 6 + lenid / 2);
        return 1;
    }
    void RunCheckThreshold() override {
        ++threshold_runs;
        if (on_threshold_run)
            on_threshold_run();
        if (block_len >= 0 && !record_buf)
            replace_block(block_len);
    }
    int block_size() const { return record_len; }
    // Byte offsets of the base's members in this object, in declaration order of the base.
    struct MemberOffsets {
        long record_len, record_buf, steady_now;
    };
    MemberOffsets member_offsets() const {
        const auto at = [this](const void *member) {
            return static_cast<long>(static_cast<const char *>(member) -
                                     reinterpret_cast<const char *>(this));
        };
        return {at(&record_len), at(&record_buf), at(&steady_now)};
    }
    const std::vector<unsigned char> *block() const { return record_buf.get(); }

    std::vector<std::vector<uint8_t>> replies; // VER ADR CID1 RTN LENID(2) INFO
    int threshold_runs = 0;
    int block_len = -1; // >= 0: RunCheckThreshold creates a block of this length
    // The derived class's own threshold work, run first in RunCheckThreshold.
    std::function<void()> on_threshold_run;
};
