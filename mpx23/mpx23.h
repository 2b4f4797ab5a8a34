// The driver object for one 48 V telecom DC power system on one serial line: polling cycle,
// telemetry store, reply decoders, variable query, alarm evaluation and control commands.
#pragma once

#include "framework/pmbus_protocol.h"
#include "framework/uni_buffer_device.h"
#include "mpx23/telemetry.h"
#include "protocol/codes.h"
#include "protocol/control_codes.h"

#include <cstdint>
#include <string>
#include <vector>

// The steps of the exchange as the engine's poll_state (the host's signed 32-bit field) holds
// them: the steps of a polling round in the order a full round sends their commands, and the
// states that wait for a control command's reply (numbered as the request that sent it).
enum class PollStep : int32_t {
    Parameters = 9,
    AcAnalogue = 1,
    AcStatus = 2,
    AcAlarms = 3,
    RcAnalogue = 4,
    RcStatus = 5,
    RcAlarms = 6,
    DcAnalogue = 7,
    DcAlarms = 8,
    SetParameterPending = protocol::control_code::kSetParameter,
    RemoteControlPending = protocol::control_code::kRemoteControl,
    // Not states, marks of the step table: the round ends here; a change this step ignores.
    RoundEnd = 0,
    None = -1,
};

struct Reply;
class ByteReader;

// The type code under which the host publishes and stores the device data block.
constexpr int kBlockTypeCode = 5312;

// Public: only what the host calls. The telemetry, flags and decoders are the driver's own;
// tests, fuzz targets and benchmarks reach them through MPX23TestView (mpx23/test_view.h).
class MPX23 : public UniBufferDevice<PMBusProtocol, kBlockTypeCode> {
public:
    using Base = UniBufferDevice<PMBusProtocol, kBlockTypeCode>;

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

private:
    friend class MPX23TestView;

    uint8_t cmd_info = protocol::kAllUnits; // INFO of AC and DC distribution queries
    uint8_t ac_data_flag = 0;
    uint8_t rc_data_flag = 0;
    // The telemetry store, each member named as its record: the data block's records, and the
    // names the host shows them by, are acData, ac_channels, dcData, rcData, rc_channels.
    ::acData acData{};
    std::vector<mpx23_ac_channel> ac_channels;
    ::dcData dcData{};
    ::rcData rcData{};
    std::vector<mpx23_rc_channel> rc_channels;
    int32_t ctrl_result = -1;
    int32_t alarm_profile = 0;
    uint16_t param47_a = 0; // the two values of the parameter reply (0x42/0x47): the block's
    uint16_t param47_b = 0; // parameter fields, named by that reply

    // Reply decoders: each takes the bytes to decode and their count, and returns the number of
    // bytes consumed or -1 when the reply cannot be read. AC and DC distribution decoders get the
    // INFO field behind its data flag and unit count; rectifier decoders get the whole INFO.
    // Each is named by its reply's CID1 and CID2, as the stored records' fields (p40_43,
    // p41_44_count ...) and the diagnostic lines that operators match ("parse41_42
    // channel_count") name it.
    int parse40_42(const unsigned char *data, int len);
    int parse40_43(const unsigned char *data, int len);
    int parse40_44(const unsigned char *data, int len);
    int parse41_42(const unsigned char *data, int len);
    int parse41_43(const unsigned char *data, int len);
    int parse41_44(const unsigned char *data, int len);
    int parse42_42(const unsigned char *data, int len);
    int parse42_44(const unsigned char *data, int len);

    struct StepRow;
    enum class OtherGroup : uint8_t;
    enum class Slice : uint8_t;
    using Decoder = int (MPX23::*)(const unsigned char *, int);
    static const StepRow *find_step(int32_t state);
    void send_step(PollStep state);
    bool flags_decide() const;
    PollStep next_step(const StepRow &row, uint8_t flag) const;
    int run_step(const StepRow &row, const Reply &reply);
    bool decoded(const StepRow &row, const Reply &reply);
    bool fits_command(const StepRow &row, const Reply &reply);
    int parse42_47(const unsigned char *data, int len);

    void set_alarm_profile(int32_t profile, const char *log_line);
    void ac_inputs_reported(unsigned inputs);

    bool ac_reply_complete(const unsigned char *data, int len, unsigned lines) const;
    int rc_reply_length(const unsigned char *data, int len, unsigned modules) const;
    bool read_module_count(ByteReader &in, uint8_t &modules, const char *label) const;
    void refresh_block();

    std::string alarm_texts[3];       // detail texts of the alarm reports, reused round after round
    bool alarm_profile_fixed = false; // set by the device settings: the AC inputs do not change it
};
