// Decoders of the rectifier replies (group 0x41). Input: the whole INFO field, data flag byte
// (offset 0, not read here) included. The caller accepts a reply only when the result equals
// the INFO length exactly.
#include "mpx23/diagnostics.h"
#include "mpx23/mpx23.h"
#include "mpx23/reply_readers.h"
#include "mpx23/texts.h"

using namespace reply_value;
using namespace reply_readers;

// Bytes an analogue reply announcing `modules` modules occupies, or -1 when a count lies
// outside the input:
//   flag | out_v(2) | N | modules x (out_i(2) P [2P user values])
int MPX23::rc_reply_length(const unsigned char *data, int len, unsigned modules) const {
    ByteReader in(data, len);
    in.skip(4);
    return skip_unit_records(in, modules, 2) ? in.consumed() : -1;
}

// 0x41/0x42, analogue values:
//   flag | out_v(2) | N | per module: out_i(2) P(1) user values(2P)
int MPX23::parse41_42(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t modules = 0, user_values = 0;
    auto fail = [](const char *line) {
        diagnostics::say(line);
        return -1;
    };
    // A reply that sizes the module list, or re-sizes it after a module was added or removed,
    // is taken only when it decodes to exactly its length; otherwise nothing of it is kept.
    const bool sizing = len >= 4 && (rc_channels.empty() || data[3] != rc_channels.size());
    if (sizing && rc_reply_length(data, len, data[3]) != len) {
        diagnostics::say(text::kRcChannelCount, data[3]);
        return fail(rc_channels.empty() ? text::kRcCutShort2 : text::kRcCountChanged);
    }
    in.skip(1);
    if (!read_value(in, scaled, [this](float v) { rcData.out_v = v; }))
        return fail(text::kRcCutShort2);
    diagnostics::say_fixed6(text::kRcOutputVoltage, rcData.out_v);
    if (!in.byte(modules))
        return fail(text::kRcCutShort2);
    diagnostics::say(text::kRcChannelCount, modules);
    if (sizing) {
        rc_channels.resize(modules);
        rcData.channel_count = modules;
    }
    for (auto &module : rc_channels) {
        if (!read_value(in, scaled, [&module](float v) { module.out_i = v; }) ||
            !in.byte(user_values))
            return fail(text::kRcCutShort);
        module.p41_41_count = user_values;
        diagnostics::say(text::kRcAnalogueUserValues, user_values);
        in.skip(2 * user_values); // capacity 0: never kept
    }
    return in.within() ? in.consumed() : fail(text::kRcCutShort2);
}

// Steps over the data flag and reads the module count N of a status or alarm reply (printed
// behind `label` when there is one). False when N is missing or exceeds the modules the last
// analogue reply announced: a reply never reaches beyond the module list.
bool MPX23::read_module_count(ByteReader &in, uint8_t &modules, const char *label) const {
    in.skip(1);
    if (!in.byte(modules))
        return false;
    if (label)
        diagnostics::say(label, modules);
    return modules <= rcData.channel_count && modules <= rc_channels.size();
}

// 0x41/0x43, status:
//   flag | N | per module: on_off limit charge_mode U [U user-defined status bytes]
int MPX23::parse41_43(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t modules = 0, user_bytes = 0;
    if (!read_module_count(in, modules, text::kRcStatusCount))
        return -1;
    for (unsigned i = 0; i < modules; ++i) {
        auto &module = rc_channels[i];
        if (!in.byte(module.on_off) || !in.byte(module.limit) || !in.byte(module.charge_mode) ||
            !in.byte(user_bytes))
            return -1;
        module.p41_43_count = user_bytes;
        if (!read_user_bytes(in, user_bytes, module.p41_43, RcChannelSizes::P41_43_SIZE()))
            return -1;
    }
    return in.within() ? in.consumed() : -1;
}

// 0x41/0x44, alarms:
//   flag | N | per module: fault U [U user-defined alarm bytes]
int MPX23::parse41_44(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t modules = 0, user_bytes = 0;
    if (!read_module_count(in, modules, nullptr))
        return -1;
    for (unsigned i = 0; i < modules; ++i) {
        auto &module = rc_channels[i];
        if (!in.byte(module.fault) || !in.byte(user_bytes))
            return -1;
        module.p41_44_count = user_bytes;
        diagnostics::say(text::kRcAlarmUserBytes, user_bytes);
        if (!read_user_bytes(in, user_bytes, module.p41_44, RcChannelSizes::P41_44_SIZE()))
            return -1;
    }
    return in.within() ? in.consumed() : -1;
}
