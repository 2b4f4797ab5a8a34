// The one window tests, fuzz targets and benchmarks have on the driver's private state: its
// telemetry records and lists, data flags, control result, alarm profile, parameters and reply
// decoders. The plug-in never includes it; the host sees only the class's public operations.
#pragma once

#include "mpx23/mpx23.h"

#include <vector>

class MPX23TestView {
public:
    using Decoder = int (MPX23::*)(const unsigned char *, int);

    explicit MPX23TestView(MPX23 &dev)
        : cmd_info(dev.cmd_info), ac_data_flag(dev.ac_data_flag), rc_data_flag(dev.rc_data_flag),
          acData(dev.acData), ac_channels(dev.ac_channels), dcData(dev.dcData), rcData(dev.rcData),
          rc_channels(dev.rc_channels), ctrl_result(dev.ctrl_result),
          alarm_profile(dev.alarm_profile), param47_a(dev.param47_a), param47_b(dev.param47_b),
          dev(dev) {}

    uint8_t &cmd_info;
    uint8_t &ac_data_flag;
    uint8_t &rc_data_flag;
    ::acData &acData;
    std::vector<mpx23_ac_channel> &ac_channels;
    ::dcData &dcData;
    ::rcData &rcData;
    std::vector<mpx23_rc_channel> &rc_channels;
    int32_t &ctrl_result;
    int32_t &alarm_profile;
    uint16_t &param47_a;
    uint16_t &param47_b;

    int parse40_42(const unsigned char *data, int len) { return dev.parse40_42(data, len); }
    int parse40_43(const unsigned char *data, int len) { return dev.parse40_43(data, len); }
    int parse40_44(const unsigned char *data, int len) { return dev.parse40_44(data, len); }
    int parse41_42(const unsigned char *data, int len) { return dev.parse41_42(data, len); }
    int parse41_43(const unsigned char *data, int len) { return dev.parse41_43(data, len); }
    int parse41_44(const unsigned char *data, int len) { return dev.parse41_44(data, len); }
    int parse42_42(const unsigned char *data, int len) { return dev.parse42_42(data, len); }
    int parse42_44(const unsigned char *data, int len) { return dev.parse42_44(data, len); }

    // The device data block as the host receives it (null before the first refresh).
    const std::vector<unsigned char> *block() const { return dev.record_buf.get(); }
    int block_length() const { return dev.record_len; }

    // The decoders as values, for tests that run several through one helper.
    static constexpr Decoder kParse40_42 = &MPX23::parse40_42;
    static constexpr Decoder kParse40_43 = &MPX23::parse40_43;
    static constexpr Decoder kParse40_44 = &MPX23::parse40_44;
    static constexpr Decoder kParse41_42 = &MPX23::parse41_42;
    static constexpr Decoder kParse41_43 = &MPX23::parse41_43;
    static constexpr Decoder kParse41_44 = &MPX23::parse41_44;
    static constexpr Decoder kParse42_42 = &MPX23::parse42_42;
    static constexpr Decoder kParse42_44 = &MPX23::parse42_44;

private:
    MPX23 &dev;
};

// The view of `dev`, for one expression: peek(dev).acData.ia.
inline MPX23TestView peek(MPX23 &dev) {
    return MPX23TestView(dev);
}
