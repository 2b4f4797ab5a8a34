// Polling rounds driven through the protocol engine. The first input byte picks the mode:
//   even: the rest is a raw byte stream from the line, fed in pieces of varying size;
//   odd:  the rest is a sequence of replies [group][flags][length][INFO...] that the harness
//         frames correctly, with a new round started before a reply whose flags byte has its
//         top bit set and a control request before one with bit 6 set.
// Whatever arrives, the device must only ever send well-formed poll or control commands, keep
// its store consistent and its poll state within the states it knows.
#include "fuzz/fuzz_host.h"

#include <algorithm>

namespace {

void check_device(MPX23 &dev, const FuzzHost &host) {
    check_store(dev);
    const int s = dev.poll_state;
    FUZZ_CHECK((s >= 1 && s <= 9) || s == 310 || s == 320);
    for (const auto &f : host.sent) {
        const bool poll = (f.cid1 >= 0x40 && f.cid1 <= 0x42 && f.cid2 >= 0x42 && f.cid2 <= 0x44) ||
                          (f.cid1 == 0x42 && f.cid2 == 0x47);
        const bool control =
            (f.cid1 == 0x42 && f.cid2 == 0x49) || (f.cid1 == 0x41 && f.cid2 == 0x45);
        FUZZ_CHECK(poll || control);
    }
}

void feed(MPX23 &dev, const std::string &bytes) {
    std::vector<unsigned char> copy(bytes.begin(), bytes.end());
    dev.process(copy.data(), static_cast<unsigned>(copy.size()));
}

void raw_stream(MPX23 &dev, FuzzHost &host, const uint8_t *data, size_t size) {
    size_t at = 0;
    unsigned piece = 1;
    while (at < size) {
        piece = (piece * 7 + data[at]) % 64 + 1;
        const size_t n = std::min<size_t>(piece, size - at);
        std::vector<unsigned char> chunk(data + at, data + at + n);
        dev.process(chunk.data(), static_cast<unsigned>(n));
        at += n;
        check_device(dev, host);
    }
}

void framed_replies(MPX23 &dev, FuzzHost &host, const uint8_t *data, size_t size) {
    static const uint8_t kGroups[] = {0x40, 0x41, 0x42, 0x43};
    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t group = kGroups[data[at] % 4];
        const uint8_t flags = data[at + 1];
        size_t n = std::min<size_t>(data[at + 2], size - at - 3);
        at += 3;
        if (flags & 0x80)
            dev.RefreshStatus();
        if (flags & 0x40) {
            const std::string request = "419500601003";
            int used = 0;
            dev.DeviceIoControl(320, request.data(), static_cast<int>(request.size()), nullptr, 0,
                                used);
        }
        feed(dev, frame::encode(0x20, 0x01, group, 0x00, data + at, n));
        at += n;
        check_device(dev, host);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    FuzzHost host;
    MPX23 dev;
    dev.RefreshStatus();
    if (data[0] & 1)
        framed_replies(dev, host, data + 1, size - 1);
    else
        raw_stream(dev, host, data + 1, size - 1);
    dev.RefreshStatus();
    check_device(dev, host);
    return 0;
}
