// What the fuzz targets share: a host that only counts and keeps what a device sends and a
// check that aborts (a finding) when an invariant breaks. (initialize.cpp sends the driver's
// standard output to /dev/null.)
#pragma once

#include "hostlib/frame_codec.h"
#include "hostlib/host_services.h"
#include "mpx23/mpx23.h"
#include "mpx23/test_view.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__,           \
                         __LINE__);                                                                \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

struct SentFrame {
    uint8_t cid1 = 0, cid2 = 0;
    std::vector<uint8_t> info;
};

class FuzzHost : public kvo::HostServices {
public:
    FuzzHost() : guard(*this) {}
    int SendData(KVOSPDevice &, const unsigned char *data, unsigned len) override {
        frame::Receiver rx;
        for (unsigned i = 0; i < len; ++i) {
            if (rx.push(data[i]) == frame::Receiver::Event::Frame) {
                SentFrame f;
                f.cid1 = rx.binary()[2];
                f.cid2 = rx.binary()[3];
                f.info.assign(rx.binary() + 6, rx.binary() + 6 + rx.info_len());
                sent.push_back(f);
                return static_cast<int>(len);
            }
        }
        FUZZ_CHECK(!"the device sent a malformed frame");
        return -1;
    }
    std::vector<SentFrame> sent;

private:
    kvo::ScopedServices guard;
};

// The block always has the length its lists give it, and the counts match the lists.
inline void check_store(MPX23 &dev) {
    FUZZ_CHECK(peek(dev).acData.channel_count == peek(dev).ac_channels.size());
    FUZZ_CHECK(peek(dev).rcData.channel_count == peek(dev).rc_channels.size());
    if (peek(dev).block())
        FUZZ_CHECK(static_cast<int>(peek(dev).block()->size()) == peek(dev).block_length());
}
