// Decoders of the AC distribution replies (group 0x40). Input: the INFO field behind its data
// flag and unit-count bytes, i.e. the data of the first AC distribution unit.
#include "mpx23/diagnostics.h"
#include "mpx23/mpx23.h"
#include "mpx23/reply_readers.h"
#include "mpx23/texts.h"

using namespace reply_value;
using namespace reply_readers;

namespace {

float voltage(uint8_t hi, uint8_t lo) {
    return scaled_or(hi, lo, kNoVoltage);
}

float current(uint8_t hi, uint8_t lo) {
    return scaled_or(hi, lo, kNoCurrent);
}

} // namespace

// Whether an analogue reply announcing `lines` input lines decodes completely:
//   N | lines x (ua ub uc f P [2P user values]) | ia ib ic
bool MPX23::ac_reply_complete(const unsigned char *data, int len, unsigned lines) const {
    ByteReader in(data, len);
    in.skip(1);
    if (!skip_unit_records(in, lines, 8))
        return false;
    in.skip(6);
    return in.within();
}

// 0x40/0x42, analogue values:
//   N | per line: ua(2) ub(2) uc(2) f(2) P(1) user values(2P) | ia(2) ib(2) ic(2)
int MPX23::parse40_42(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t lines = 0;
    if (!in.byte(lines))
        return -1;
    // A reply that sizes the list, or re-sizes it after modules or inputs changed, is taken only
    // when it decodes completely; a cut-short one leaves the list as it was.
    if (ac_channels.empty() || lines != ac_channels.size()) {
        if (!ac_reply_complete(data, len, lines))
            return -1;
        ac_channels.resize(lines);
        acData.channel_count = lines;
        diagnostics::say(text::kAcChannelCount, lines);
    }
    uint8_t user_values = 0;
    for (auto &line : ac_channels) {
        // The frequency, like the phase voltages, reads 0 when the line reports no value.
        if (!read_value(in, voltage, [&line](float v) { line.ua = v; }) ||
            !read_value(in, voltage, [&line](float v) { line.ub = v; }) ||
            !read_value(in, voltage, [&line](float v) { line.uc = v; }) ||
            !read_value(in, voltage, [&line](float v) { line.f = v; }) || !in.byte(user_values))
            return -1;
        line.p40_42_count = user_values;
        in.skip(2 * user_values); // no room is kept for them
    }
    if (!read_value(in, current, [this](float v) { acData.ia = v; }) ||
        !read_value(in, current, [this](float v) { acData.ib = v; }) ||
        !read_value(in, current, [this](float v) { acData.ic = v; }))
        return -1;
    ac_inputs_reported(lines); // a complete reply: it may choose the alarm profile
    return in.consumed();
}

// 0x40/0x43, status:
//   K | K breaker states | U | U user-defined status bytes
int MPX23::parse40_43(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t breakers = 0, user_bytes = 0;
    if (!in.byte(breakers))
        return -1;
    acData.airlock_count = breakers;
    if (breakers > AcSizes::AIRLOCK_MAX())
        return -1;
    auto overflow = [] {
        diagnostics::say(text::kAcStatusOverflow);
        return -1;
    };
    for (unsigned i = 0; i < breakers; ++i) // byte by byte: a cut-short list keeps its head
        if (!in.byte(acData.airlock[i]))
            return overflow();
    if (!in.byte(user_bytes))
        return overflow();
    acData.p40_43_count = user_bytes;
    // The user-defined bytes have no room in the record (capacity 0): they are stepped over,
    // not read, so the count is returned even when the input ends before them.
    in.skip(user_bytes);
    return in.consumed();
}

// 0x40/0x44, alarms:
//   N (not read) | per line: ua ub uc f alarms(4) M [M bytes] Q [Q bytes] | ia ib ic alarms(3)
int MPX23::parse40_44(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t further = 0, user_bytes = 0;
    if (in.length() < 1)
        return -1;
    in.skip(1);
    for (auto &line : ac_channels) {
        if (!in.byte(line.ua_alarm) || !in.byte(line.ub_alarm) || !in.byte(line.uc_alarm) ||
            !in.byte(line.f_alarm))
            return -1;
        if (!in.byte(further))
            return -1;
        in.skip(further);
        if (!in.byte(user_bytes))
            return -1;
        line.p40_44_count = user_bytes;
        in.skip(user_bytes); // capacity 0: never kept
    }
    if (!in.byte(acData.ia_alarm) || !in.byte(acData.ib_alarm) || !in.byte(acData.ic_alarm))
        return -1;
    return in.consumed();
}
