// The driver object for one 48 V telecom DC power system on one serial line: polling cycle,
// telemetry store, reply decoders, variable query, alarm evaluation and control commands.
#pragma once

#include "framework/pmbus_protocol.h"
#include "framework/uni_buffer_device.h"
#include "mpx23/telemetry.h"

#include <cstdint>
#include <string>
#include <vector>

class MPX23 : public UniBufferDevice<PMBusProtocol, 5312> {
public:
    using Base = UniBufferDevice<PMBusProtocol, 5312>;

    MPX23();
    ~MPX23() override;

    float Get_Value(unsigned index, const std::string &name) const override;
    int DeviceIoControl(int code, const void *in, int in_len, void *out, int out_len,
                        int &out_used) override;
    // Reads the device's own setting "alarm_profile" (0 or 2; absent: chosen by the number of AC
    // inputs), then hands the settings on to the protocol engine unchanged.
    int InitSetting(const Json::Value &settings) override;
    int RefreshStatus() override;
    int process_payload() override;
    void RunCheckThreshold() override;

    // Reply decoders: each takes the bytes to decode and their count, and returns the number of
    // bytes consumed or -1 when the reply cannot be read. AC and DC distribution decoders get the
    // INFO field behind its data flag and unit count; rectifier decoders get the whole INFO.
    int parse40_42(const unsigned char *data, int len);
    int parse40_43(const unsigned char *data, int len);
    int parse40_44(const unsigned char *data, int len);
    int parse41_42(const unsigned char *data, int len);
    int parse41_43(const unsigned char *data, int len);
    int parse41_44(const unsigned char *data, int len);
    int parse42_42(const unsigned char *data, int len);
    int parse42_44(const unsigned char *data, int len);

    // The device data block as the host receives it (null before the first refresh).
    const std::vector<unsigned char> *block() const { return record_buf.get(); }
    int block_length() const { return record_len; }

    uint8_t cmd_info = 0xFF;
    uint8_t ac_data_flag = 0;
    uint8_t rc_data_flag = 0;
    ::acData acData{};
    std::vector<mpx23_ac_channel> ac_channels;
    ::dcData dcData{};
    ::rcData rcData{};
    std::vector<mpx23_rc_channel> rc_channels;
    int32_t ctrl_result = -1;
    int32_t alarm_profile = 0;
    uint16_t param47_a = 0;
    uint16_t param47_b = 0;

private:
    struct Step;
    static const Step *find_step(int state);
    void send_step(int state);
    uint8_t info(int k) const;
    int info_length() const;
    bool flags_decide() const;
    using Decoder = int (MPX23::*)(const unsigned char *, int);
    int after_analogue(uint8_t flag, int status_step, int alarm_step, int next_step) const;
    bool rc_reply_decoded(Decoder decoder, const char *error_log);

    int on_parameters();
    int on_ac_analogue();
    int on_ac_status();
    int on_ac_alarms();
    int on_rc_analogue();
    int on_rc_status();
    int on_rc_alarms();
    int on_dc_analogue();
    int on_dc_alarms();

    void set_alarm_profile(int32_t profile, const char *log_line);
    void ac_inputs_reported(unsigned inputs);

    bool ac_reply_complete(const unsigned char *data, int len, unsigned lines) const;
    int rc_reply_length(const unsigned char *data, int len, unsigned modules) const;
    void refresh_block();
    bool parse_set_parameter(const std::string &request, uint8_t *info, int &info_len);
    bool parse_remote_control(const std::string &request, uint8_t *info, int &info_len);

    std::string alarm_texts[3];       // detail texts of the alarm reports, reused round after round
    bool alarm_profile_fixed = false; // set by the device settings: the AC inputs do not change it
};
