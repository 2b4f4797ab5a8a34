// The telemetry store: packed records whose byte images make up the device data block that the
// host publishes and keeps as history. Every offset, width and reserved byte below is a stored
// format; the static_asserts pin them. Multi-byte fields are in host byte order and may sit at
// any offset: read and write them through the members (the compiler then emits unaligned-safe
// accesses) or with memcpy, never through a pointer to the field.
#pragma once

#include <cstddef>
#include <cstdint>

// Capacities of the records' fixed arrays. A capacity change changes the stored layout.
template <unsigned char AirlockMax, unsigned char P40_43Size> struct tele_c_pmbuspower_ac {
    static constexpr unsigned char AIRLOCK_MAX() { return AirlockMax; }
    static constexpr unsigned char P40_43_SIZE() { return P40_43Size; }
};

template <unsigned char Unused, unsigned char P40_44Size> struct tele_c_pmbuspower_ac_channel {
    static constexpr unsigned char p40_44_SIZE() { return P40_44Size; }
};

template <unsigned char P41_41Size, unsigned char P41_43Size, unsigned char P41_44Size>
struct tele_c_pmbuspower_rc_channel {
    static constexpr unsigned char P41_41_SIZE() { return P41_41Size; }
    static constexpr unsigned char P41_43_SIZE() { return P41_43Size; }
    static constexpr unsigned char P41_44_SIZE() { return P41_44Size; }
};

template <unsigned char M, unsigned char N, unsigned char P, unsigned char AlertM,
          unsigned char AlertP>
struct tele_c_pmbuspower_dc {
    static constexpr unsigned char M_SIZE() { return M; }
    static constexpr unsigned char N_SIZE() { return N; }
    static constexpr unsigned char P_SIZE() { return P; }
    static constexpr unsigned char ALERT_M_SIZE() { return AlertM; }
    static constexpr unsigned char ALERT_P_SIZE() { return AlertP; }
};

using AcSizes = tele_c_pmbuspower_ac<8, 0>;
using AcChannelSizes = tele_c_pmbuspower_ac_channel<0, 0>;
using RcChannelSizes = tele_c_pmbuspower_rc_channel<0, 1, 7>;
using DcSizes = tele_c_pmbuspower_dc<2, 20, 9, 42, 3>;

constexpr size_t kTimeRecordSize = 7;

#pragma pack(push, 1)

struct acData {
    uint32_t data_id;
    float ia, ib, ic;
    uint8_t channel_count;
    uint8_t airlock_count;
    uint8_t airlock[AcSizes::AIRLOCK_MAX()];
    uint8_t p40_43_count;
    uint8_t p40_43[AcSizes::P40_43_SIZE()]; // capacity 0: no byte
    uint8_t ia_alarm, ib_alarm, ic_alarm;
    uint8_t time[kTimeRecordSize];
};

struct mpx23_ac_channel {
    float ua, ub, uc, f;
    uint8_t p40_42_count;
    uint8_t ua_alarm, ub_alarm, uc_alarm, f_alarm;
    uint8_t p40_44_count;
    uint8_t p40_44[AcChannelSizes::p40_44_SIZE()]; // capacity 0: no byte
};

struct rcData {
    uint32_t data_id;
    uint8_t reserved[29];
    float out_v;
    uint8_t channel_count;
    uint8_t time[kTimeRecordSize];
};

struct mpx23_rc_channel {
    float out_i;
    uint8_t p41_41_count;
    float p41_41[RcChannelSizes::P41_41_SIZE()]; // capacity 0: no byte
    uint8_t on_off, limit, charge_mode;
    uint8_t p41_43_count;
    uint8_t p41_43[RcChannelSizes::P41_43_SIZE()];
    uint8_t fault;
    uint8_t p41_44_count;
    uint8_t p41_44[RcChannelSizes::P41_44_SIZE()];
};

struct dcData {
    uint32_t data_id;
    float voltage;
    float load_current;
    uint8_t m_count;
    float m_values[DcSizes::M_SIZE()];
    uint8_t n_count;
    float n_values[DcSizes::N_SIZE()];
    uint8_t p_count;
    float p_values[DcSizes::P_SIZE()];
    uint8_t voltage_alarm;
    uint8_t alert_m_count;
    uint8_t alert_m[DcSizes::ALERT_M_SIZE()];
    uint8_t alert_p_count;
    uint8_t alert_p[DcSizes::ALERT_P_SIZE()];
    uint8_t time[kTimeRecordSize];
};

#pragma pack(pop)

// The stored layout, field by field.
static_assert(sizeof(acData) == 37 && sizeof(mpx23_ac_channel) == 22 && sizeof(rcData) == 45 &&
                  sizeof(mpx23_rc_channel) == 19 && sizeof(dcData) == 194,
              "record sizes are a stored format");
static_assert(offsetof(acData, ia) == 4 && offsetof(acData, ib) == 8 &&
              offsetof(acData, ic) == 12 && offsetof(acData, channel_count) == 16 &&
              offsetof(acData, airlock_count) == 17 && offsetof(acData, airlock) == 18 &&
              offsetof(acData, p40_43_count) == 26 && offsetof(acData, p40_43) == 27 &&
              offsetof(acData, ia_alarm) == 27 && offsetof(acData, ib_alarm) == 28 &&
              offsetof(acData, ic_alarm) == 29 && offsetof(acData, time) == 30);
static_assert(
    offsetof(mpx23_ac_channel, ub) == 4 && offsetof(mpx23_ac_channel, uc) == 8 &&
    offsetof(mpx23_ac_channel, f) == 12 && offsetof(mpx23_ac_channel, p40_42_count) == 16 &&
    offsetof(mpx23_ac_channel, ua_alarm) == 17 && offsetof(mpx23_ac_channel, ub_alarm) == 18 &&
    offsetof(mpx23_ac_channel, uc_alarm) == 19 && offsetof(mpx23_ac_channel, f_alarm) == 20 &&
    offsetof(mpx23_ac_channel, p40_44_count) == 21 && offsetof(mpx23_ac_channel, p40_44) == 22);
static_assert(offsetof(rcData, reserved) == 4 && offsetof(rcData, out_v) == 33 &&
              offsetof(rcData, channel_count) == 37 && offsetof(rcData, time) == 38);
static_assert(offsetof(mpx23_rc_channel, p41_41_count) == 4 &&
              offsetof(mpx23_rc_channel, p41_41) == 5 && offsetof(mpx23_rc_channel, on_off) == 5 &&
              offsetof(mpx23_rc_channel, limit) == 6 &&
              offsetof(mpx23_rc_channel, charge_mode) == 7 &&
              offsetof(mpx23_rc_channel, p41_43_count) == 8 &&
              offsetof(mpx23_rc_channel, p41_43) == 9 && offsetof(mpx23_rc_channel, fault) == 10 &&
              offsetof(mpx23_rc_channel, p41_44_count) == 11 &&
              offsetof(mpx23_rc_channel, p41_44) == 12);
static_assert(offsetof(dcData, voltage) == 4 && offsetof(dcData, load_current) == 8 &&
              offsetof(dcData, m_count) == 12 && offsetof(dcData, m_values) == 13 &&
              offsetof(dcData, n_count) == 21 && offsetof(dcData, n_values) == 22 &&
              offsetof(dcData, p_count) == 102 && offsetof(dcData, p_values) == 103 &&
              offsetof(dcData, voltage_alarm) == 139 && offsetof(dcData, alert_m_count) == 140 &&
              offsetof(dcData, alert_m) == 141 && offsetof(dcData, alert_p_count) == 183 &&
              offsetof(dcData, alert_p) == 184 && offsetof(dcData, time) == 187);

// Reply value conversions. Replies carry unsigned 16-bit big-endian integers only.
namespace reply_value {

// The two pairs that mean "no value" on this line: 0x20 0x20 (a value sent as blank fill) and
// 0xFF 0xFF. Every other pair is a reading, equal bytes included: 0x5A5A is 231.30 V on a
// perfectly normal mains, not a missing phase.
constexpr bool is_no_value(uint8_t hi, uint8_t lo) {
    return hi == lo && (hi == 0x20 || hi == 0xFF);
}

constexpr uint16_t raw(uint8_t hi, uint8_t lo) {
    return static_cast<uint16_t>(hi << 8 | lo);
}

// Hundredths, divided in integer arithmetic: 22050 gives 220.0, not 220.5.
constexpr float scaled(uint8_t hi, uint8_t lo) {
    return static_cast<float>(raw(hi, lo) / 100);
}

constexpr float plain(uint8_t hi, uint8_t lo) {
    return static_cast<float>(raw(hi, lo));
}

constexpr float scaled_or(uint8_t hi, uint8_t lo, float placeholder) {
    return is_no_value(hi, lo) ? placeholder : scaled(hi, lo);
}

constexpr float plain_or(uint8_t hi, uint8_t lo, float placeholder) {
    return is_no_value(hi, lo) ? placeholder : plain(hi, lo);
}

// Placeholders for fields that have one.
constexpr float kNoVoltage = 0.0f;
constexpr float kNoCurrent = -0.1f; // bit pattern 0xBDCCCCCD

} // namespace reply_value
