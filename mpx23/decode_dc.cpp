// Decoders of the DC distribution replies (group 0x42). Input: the INFO field behind its data
// flag and unit-count bytes.
#include "mpx23/mpx23.h"
#include "mpx23/reply_readers.h"
#include "mpx23/texts.h"

using namespace reply_value;
using namespace reply_readers;

// 0x42/0x42, analogue values:
//   voltage(2) load(2) | m [2m battery-group currents] | n [2n branch currents] |
//   p [2p user-defined values]
int MPX23::parse42_42(const unsigned char *data, int len) {
    ByteReader in(data, len);
    if (!read_value(in, scaled, [this](float v) { dcData.voltage = v; }) ||
        !read_value(in, scaled, [this](float v) { dcData.load_current = v; }))
        return -1;
    if (!read_list_count(in, dcData.m_count, text::kDcListM, DcSizes::M_SIZE()) ||
        !read_value_list(in, dcData.m_count, DcSizes::M_SIZE(), plain,
                         [this](unsigned j, float v) { dcData.m_values[j] = v; }))
        return -1;
    if (!read_list_count(in, dcData.n_count, text::kDcListN, DcSizes::N_SIZE()) ||
        !read_value_list(in, dcData.n_count, DcSizes::N_SIZE(), scaled,
                         [this](unsigned j, float v) { dcData.n_values[j] = v; }))
        return -1;
    if (!read_list_count(in, dcData.p_count, text::kDcListP, DcSizes::P_SIZE()))
        return -1;
    if (dcData.p_count > DcSizes::P_SIZE())
        return in.length(); // taken as if the whole input were consumed
    auto user_value = [](uint8_t h, uint8_t l) { return plain_or(h, l, kNoCurrent); };
    if (!read_value_list(in, dcData.p_count, DcSizes::P_SIZE(), user_value,
                         [this](unsigned j, float v) { dcData.p_values[j] = v; }))
        return -1;
    return in.consumed();
}

// 0x42/0x44, alarms:
//   voltage alarm | am [am m-list alarm bytes] | ap [ap user-defined alarm bytes]
int MPX23::parse42_44(const unsigned char *data, int len) {
    ByteReader in(data, len);
    if (!in.byte(dcData.voltage_alarm) ||
        !read_list_count(in, dcData.alert_m_count, text::kDcAlarmListM, DcSizes::ALERT_M_SIZE()) ||
        !read_alarm_list(in, dcData.alert_m_count, dcData.alert_m) ||
        !read_list_count(in, dcData.alert_p_count, text::kDcAlarmListP, DcSizes::ALERT_P_SIZE()) ||
        !read_alarm_list(in, dcData.alert_p_count, dcData.alert_p))
        return -1;
    return in.within() ? in.consumed() : -1;
}
