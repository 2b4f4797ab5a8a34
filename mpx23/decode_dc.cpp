// Decoders of the DC distribution replies (group 0x42). Input: the INFO field behind its data
// flag and unit-count bytes.
#include "mpx23/byte_reader.h"
#include "mpx23/diagnostics.h"
#include "mpx23/mpx23.h"

#include <algorithm>
#include <cstdio>

using namespace reply_value;

namespace {

// Reads `count` 16-bit values and stores each (`store(j, value)`) when they fit `capacity`;
// otherwise steps over them and leaves the earlier values. False when a value lies outside the
// input. (The lists are packed floats: they are written element by element through the record,
// never through a reference or pointer to them.)
template <class Convert, class Store>
bool read_value_list(ByteReader &in, uint8_t count, unsigned capacity, Convert convert,
                     Store store) {
    if (count > capacity) {
        in.skip(2 * count);
        return true;
    }
    uint8_t hi = 0, lo = 0;
    for (unsigned j = 0; j < count; ++j) {
        if (!in.pair(hi, lo))
            return false;
        store(j, convert(hi, lo));
    }
    return true;
}

// Copies the first min(count, Capacity) announced alarm bytes, then steps over the rest.
template <size_t Capacity>
bool read_alarm_list(ByteReader &in, uint8_t count, uint8_t (&out)[Capacity]) {
    const unsigned kept = std::min<unsigned>(count, Capacity);
    for (unsigned j = 0; j < kept; ++j)
        if (!in.byte(out[j]))
            return false;
    in.skip(count - kept);
    return true;
}

} // namespace

// 0x42/0x42, analogue values:
//   voltage(2) load(2) | m [2m battery-group currents] | n [2n branch currents] |
//   p [2p user-defined values]
int MPX23::parse42_42(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t hi = 0, lo = 0, count = 0;
    if (!in.pair(hi, lo))
        return -1;
    dcData.voltage = scaled(hi, lo);
    if (!in.pair(hi, lo))
        return -1;
    dcData.load_current = scaled(hi, lo);

    if (!in.byte(count))
        return -1;
    dcData.m_count = count;
    diagnostics::say("parse 42_42 m ", count, DcSizes::M_SIZE());
    if (!read_value_list(in, count, DcSizes::M_SIZE(), plain,
                         [this](unsigned j, float v) { dcData.m_values[j] = v; }))
        return -1;

    if (!in.byte(count))
        return -1;
    dcData.n_count = count;
    diagnostics::say("parse 42_42 n ", count, DcSizes::N_SIZE());
    if (!read_value_list(in, count, DcSizes::N_SIZE(), scaled,
                         [this](unsigned j, float v) { dcData.n_values[j] = v; }))
        return -1;

    if (!in.byte(count))
        return -1;
    dcData.p_count = count;
    diagnostics::say("parse 42_42 p ", count, DcSizes::P_SIZE());
    if (count > DcSizes::P_SIZE())
        return in.length(); // taken as if the whole input were consumed
    auto user_value = [](uint8_t h, uint8_t l) { return plain_or(h, l, kNoCurrent); };
    if (!read_value_list(in, count, DcSizes::P_SIZE(), user_value,
                         [this](unsigned j, float v) { dcData.p_values[j] = v; }))
        return -1;
    return in.consumed();
}

// 0x42/0x44, alarms:
//   voltage alarm | am [am m-list alarm bytes] | ap [ap user-defined alarm bytes]
int MPX23::parse42_44(const unsigned char *data, int len) {
    ByteReader in(data, len);
    uint8_t count = 0;
    if (!in.byte(dcData.voltage_alarm))
        return -1;
    if (!in.byte(count))
        return -1;
    dcData.alert_m_count = count;
    diagnostics::say(" dcData.alert_m_count ", count, DcSizes::ALERT_M_SIZE());
    if (!read_alarm_list(in, count, dcData.alert_m))
        return -1;
    if (!in.byte(count))
        return -1;
    dcData.alert_p_count = count;
    diagnostics::say(" dcData.alert_p_count ", count, DcSizes::ALERT_P_SIZE());
    if (!read_alarm_list(in, count, dcData.alert_p))
        return -1;
    return in.within() ? in.consumed() : -1;
}
