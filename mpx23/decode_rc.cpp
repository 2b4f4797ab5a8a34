// Decoders of the rectifier replies (group 0x41). Input: the whole INFO field, data flag byte
// (offset 0, not read here) included. The caller accepts a reply only when the result equals
// the INFO length exactly.
#include "mpx23/byte_reader.h"
#include "mpx23/diagnostics.h"
#include "mpx23/mpx23.h"

#include <cstdio>

using namespace reply_value;

// Bytes an analogue reply announcing `modules` modules occupies, or -1 when a count lies
// outside the input:
//   flag | out_v(2) | N | modules x (out_i(2) P [2P user values])
int MPX23::rc_reply_length(const unsigned char *data, int len, unsigned modules) const {
    ByteReader in(data, len);
    uint8_t user_values = 0;
    in.skip(4);
    for (unsigned i = 0; i < modules; ++i) {
        in.skip(2);
        if (!in.byte(user_values))
            return -1;
        in.skip(2 * user_values);
    }
    return in.consumed();
}

// 0x41/0x42, analogue values:
//   flag | out_v(2) | N | per module: out_i(2) P(1) user values(2P)
int MPX23::parse41_42(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t hi = 0, lo = 0, modules = 0, user_values = 0;
    auto list_cut_short = [] {
        diagnostics::say("parse41_42 (p41_42 - data) > data_len\n");
        return -1;
    };
    // A reply that sizes the module list, or re-sizes it after a module was added or removed,
    // is taken only when it decodes to exactly its length; otherwise nothing of it is kept.
    const bool sizing = len >= 4 && (rc_channels.empty() || data[3] != rc_channels.size());
    if (sizing && rc_reply_length(data, len, data[3]) != len) {
        diagnostics::say("parse41_42 channel_count ", data[3]);
        diagnostics::say(rc_channels.empty() ? "parse41_42 (p41_42 - data) > data_len 2\n"
                                             : "parse41_42 rc.channel_count != channel_count\n");
        return -1;
    }
    in.skip(1);
    if (!in.pair(hi, lo)) {
        diagnostics::say("parse41_42 (p41_42 - data) > data_len 2\n");
        return -1;
    }
    rcData.out_v = scaled(hi, lo);
    std::printf("out_v is %f\n", static_cast<double>(rcData.out_v));
    if (!in.byte(modules)) {
        diagnostics::say("parse41_42 (p41_42 - data) > data_len 2\n");
        return -1;
    }
    diagnostics::say("parse41_42 channel_count ", modules);
    if (sizing) {
        rc_channels.resize(modules);
        rcData.channel_count = modules;
    }
    for (auto &module : rc_channels) {
        if (!in.pair(hi, lo))
            return list_cut_short();
        module.out_i = scaled(hi, lo);
        if (!in.byte(user_values))
            return list_cut_short();
        module.p41_41_count = user_values;
        diagnostics::say("rcchannel p41_41_count ", user_values);
        in.skip(2 * user_values); // capacity 0: never kept
    }
    if (!in.within()) {
        diagnostics::say("parse41_42 (p41_42 - data) > data_len 2\n");
        return -1;
    }
    return in.consumed();
}

// 0x41/0x43, status:
//   flag | N | per module: on_off limit charge_mode U [U user-defined status bytes]
int MPX23::parse41_43(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t modules = 0, user_bytes = 0;
    in.skip(1);
    if (!in.byte(modules))
        return -1;
    diagnostics::say("parse41_43 channel_count ", modules);
    if (modules > rcData.channel_count || modules > rc_channels.size())
        return -1;
    for (unsigned i = 0; i < modules; ++i) {
        auto &module = rc_channels[i];
        if (!in.byte(module.on_off) || !in.byte(module.limit) || !in.byte(module.charge_mode) ||
            !in.byte(user_bytes))
            return -1;
        module.p41_43_count = user_bytes;
        if (user_bytes == RcChannelSizes::P41_43_SIZE()) {
            if (!in.bytes(module.p41_43, user_bytes))
                return -1;
        } else {
            in.skip(user_bytes);
        }
    }
    return in.within() ? in.consumed() : -1;
}

// 0x41/0x44, alarms:
//   flag | N | per module: fault U [U user-defined alarm bytes]
int MPX23::parse41_44(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t modules = 0, user_bytes = 0;
    in.skip(1);
    if (!in.byte(modules))
        return -1;
    if (modules > rcData.channel_count || modules > rc_channels.size())
        return -1;
    for (unsigned i = 0; i < modules; ++i) {
        auto &module = rc_channels[i];
        if (!in.byte(module.fault) || !in.byte(user_bytes))
            return -1;
        module.p41_44_count = user_bytes;
        diagnostics::say("rcchannel p41_44_count ", user_bytes);
        if (user_bytes == RcChannelSizes::P41_44_SIZE()) {
            if (!in.bytes(module.p41_44, user_bytes))
                return -1;
        } else {
            in.skip(user_bytes);
        }
    }
    return in.within() ? in.consumed() : -1;
}
