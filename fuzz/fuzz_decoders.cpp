// All eight reply decoders on one device. The input is a sequence of replies, each
// [decoder selector][length][bytes]; a length byte of 255 takes the rest of the input. Each
// reply is copied into a buffer of exactly its length, so that any read past it is caught.
#include "fuzz/fuzz_host.h"
#include "mpx23/test_view.h"

#include <algorithm>

namespace {

using Decoder = int (MPX23::*)(const unsigned char *, int);
const Decoder kDecoders[] = {MPX23TestView::kParse40_42, MPX23TestView::kParse40_43,
                             MPX23TestView::kParse40_44, MPX23TestView::kParse41_42,
                             MPX23TestView::kParse41_43, MPX23TestView::kParse41_44,
                             MPX23TestView::kParse42_42, MPX23TestView::kParse42_44};
const char *const kAlarmIds[] = {"220600120010", "220600130010", "220600140010", "220600160010",
                                 "220600170010", "210600320010", "210600330010", "210600340010"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzHost host;
    MPX23 dev;
    for (const char *id : kAlarmIds)
        dev.alarm_settings[id] = 1;
    size_t at = 0;
    while (at + 2 <= size) {
        const Decoder decoder = kDecoders[data[at] % 8];
        size_t n = data[at + 1] == 255 ? size : data[at + 1];
        at += 2;
        n = std::min(n, size - at);
        std::vector<uint8_t> reply(data + at, data + at + n);
        const int result = (dev.*decoder)(reply.data(), static_cast<int>(n));
        FUZZ_CHECK(result >= -1);
        at += n;
        check_store(dev);
    }
    dev.RunCheckThreshold(); // block refresh and alarms over whatever the store holds
    check_store(dev);
    FUZZ_CHECK(peek(dev).block_length() ==
               static_cast<int>(280 + 19 * peek(dev).rc_channels.size() +
                                22 * peek(dev).ac_channels.size()));
    return 0;
}
