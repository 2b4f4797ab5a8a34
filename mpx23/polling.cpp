// The device object and its polling cycle. A round asks the three groups of the power system in
// a fixed order: the DC distribution parameters first, then AC distribution (0x40), rectifier
// modules (0x41) and DC distribution (0x42). Analogue values are read in every round; status and
// alarm values only in a device's first round or when a group's data flag announces a change.
#include "mpx23/diagnostics.h"
#include "mpx23/mpx23.h"

#include <cstdio>

namespace {

constexpr uint8_t kAcGroup = 0x40;
constexpr uint8_t kRcGroup = 0x41;
constexpr uint8_t kDcGroup = 0x42;

constexpr uint8_t kStatusChanged = 0x10; // data flag bit 4
constexpr uint8_t kAlarmChanged = 0x01;  // data flag bit 0

constexpr int kSetParameterPending = 310;
constexpr int kRemoteControlPending = 320;

} // namespace

// One row per poll step: the command sent on entering the step, and the handler of its reply.
struct MPX23::Step {
    int state;
    uint8_t cid1, cid2;
    bool with_info; // the one-byte INFO (cmd_info, 0xFF) of AC and DC distribution queries
    int (MPX23::*on_reply)();
};

const MPX23::Step *MPX23::find_step(int state) {
    // ~ VER ADR CID1 CID2 LENGTH [INFO] CHKSUM \r
    static const Step steps[] = {
        {9, kDcGroup, 0x47, false, &MPX23::on_parameters}, // DC distribution parameters
        {1, kAcGroup, 0x42, true, &MPX23::on_ac_analogue},
        {2, kAcGroup, 0x43, true, &MPX23::on_ac_status},
        {3, kAcGroup, 0x44, true, &MPX23::on_ac_alarms},
        {4, kRcGroup, 0x42, false, &MPX23::on_rc_analogue},
        {5, kRcGroup, 0x43, false, &MPX23::on_rc_status},
        {6, kRcGroup, 0x44, false, &MPX23::on_rc_alarms},
        {7, kDcGroup, 0x42, true, &MPX23::on_dc_analogue},
        {8, kDcGroup, 0x44, true, &MPX23::on_dc_alarms},
    };
    for (const auto &step : steps)
        if (step.state == state)
            return &step;
    return nullptr;
}

MPX23::MPX23() {
    device_type = "mpx23";
    baud_rate = 9600;
    link_option = 1;
    frame_option = 0x20;
}

MPX23::~MPX23() = default;

void MPX23::send_step(int state) {
    const Step *step = find_step(state);
    poll_state = state;
    if (step->with_info)
        write_pmbus_cmd(step->cid1, step->cid2, &cmd_info, 1);
    else
        write_pmbus_cmd(step->cid1, step->cid2);
}

int MPX23::RefreshStatus() {
    KVOSPDevice::RefreshStatus();
    send_step(9);
    return 1;
}

// Half of the reply's LENID: the INFO length in bytes.
int MPX23::info_length() const {
    return (rx_frame[4] | rx_frame[5] << 8) >> 1;
}

// INFO[k] of the current reply; 0 for a byte the reply does not have.
uint8_t MPX23::info(int k) const {
    return k < info_length() ? rx_frame[6 + k] : 0;
}

// Whether the data flags choose the status and alarm queries. Until this object has completed a
// round of its own they are all sent, also after a cache load: a cached block says nothing about
// breakers, module states or alarms now.
bool MPX23::flags_decide() const {
    return has_completed_round();
}

// The step after a group's analogue reply: its status query when its status changed (or in the
// object's first round), else its alarm query when its alarms changed, else the next group.
int MPX23::after_analogue(uint8_t flag, int status_step, int alarm_step, int next_step) const {
    if (!flags_decide() || (flag & kStatusChanged))
        return status_step;
    return (flag & kAlarmChanged) ? alarm_step : next_step;
}

// A rectifier reply is taken only when its decoder consumes exactly the INFO field; otherwise
// the protocol error goes to the host's log (with the device's data identifier).
bool MPX23::rc_reply_decoded(Decoder decoder, const char *error_log) {
    if ((this->*decoder)(rx_frame + 6, info_length()) == info_length())
        return true;
    InfoLog(error_log, data_id);
    return false;
}

int MPX23::process_payload() {
    if (poll_state == kSetParameterPending || poll_state == kRemoteControlPending) {
        ctrl_result = 1; // a reply arrived; what it says is not examined
        return 0;
    }
    const Step *step = find_step(poll_state);
    return step ? (this->*step->on_reply)() : 1;
}

// Step 9: the parameter reply carries two big-endian values at INFO 9-10 and 11-12. They are
// taken only from the DC distribution group, which alone answers the parameter query: a reply
// of another group here is a late answer to the previous round, whose bytes 9 to 12 are no
// parameters. It goes to the log and the round goes on. A reply too short to hold the values
// leaves them as they were.
int MPX23::on_parameters() {
    if (rx_frame[2] != kDcGroup) {
        char line[96];
        std::snprintf(line, sizeof line,
                      "PMBusPower:ProcotolError {} parameter reply from group 0x%02X ignored",
                      rx_frame[2]);
        InfoLog(line, data_id);
    } else if (info_length() >= 13) {
        param47_a = static_cast<uint16_t>(info(9) << 8 | info(10));
        param47_b = static_cast<uint16_t>(info(11) << 8 | info(12));
    }
    send_step(1);
    return 1;
}

int MPX23::on_ac_analogue() {
    if (rx_frame[2] != kAcGroup) {
        Reset(); // the line is out of step: give the round up
        return 0;
    }
    ac_data_flag = info(0);
    diagnostics::say("ac number is ", info(1));
    if (parse40_42(rx_frame + 8, info_length() - 2) == -1) {
        diagnostics::say("0x40 error\n");
        return 1;
    }
    send_step(after_analogue(ac_data_flag, 2, 3, 4));
    return 1;
}

int MPX23::on_ac_status() {
    if (rx_frame[2] != kAcGroup || parse40_43(rx_frame + 8, info_length() - 2) == -1)
        return 1;
    send_step(flags_decide() && !(ac_data_flag & kAlarmChanged) ? 4 : 3);
    return 1;
}

int MPX23::on_ac_alarms() {
    if (rx_frame[2] != kAcGroup || parse40_44(rx_frame + 8, info_length() - 2) == -1)
        return 1;
    send_step(4);
    return 1;
}

int MPX23::on_rc_analogue() {
    if (rx_frame[2] != kRcGroup)
        return 1;
    rc_data_flag = info(0);
    if (!rc_reply_decoded(&MPX23::parse41_42,
                          "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary")) {
        diagnostics::say("parse p41_41 overflow memory boundary\n");
        return 1;
    }
    send_step(after_analogue(rc_data_flag, 5, 6, 7));
    return 1;
}

int MPX23::on_rc_status() {
    if (rx_frame[2] != kRcGroup)
        return 1;
    if (!rc_reply_decoded(&MPX23::parse41_43,
                          "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary"))
        return 1;
    send_step(!flags_decide() || (rc_data_flag & kAlarmChanged) ? 6 : 7);
    return 1;
}

int MPX23::on_rc_alarms() {
    if (rx_frame[2] != kRcGroup)
        return 1;
    if (!rc_reply_decoded(&MPX23::parse41_44,
                          "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary"))
        return 1;
    send_step(7);
    return 1;
}

int MPX23::on_dc_analogue() {
    if (rx_frame[2] != kDcGroup)
        return 1;
    const uint8_t dc_flag = info(0);
    diagnostics::say("42_42 dc_number ", info(1));
    if (info(1) != 1)
        return 1;
    const int used = parse42_42(rx_frame + 8, info_length() - 2);
    diagnostics::say("42_42 used_len ", used);
    if (used == -1)
        return 1;
    // There is no DC status query: a DC status change, like an alarm change, fetches the alarms.
    if (flags_decide() && !(dc_flag & (kStatusChanged | kAlarmChanged))) {
        RoundDone();
        return 0;
    }
    send_step(8);
    return 1;
}

int MPX23::on_dc_alarms() {
    if (rx_frame[2] != kDcGroup)
        return 1;
    diagnostics::say("MPX23_42_44 dc_number ", info(1));
    if (info(1) != 1 || parse42_44(rx_frame + 8, info_length() - 2) == -1)
        return 1;
    RoundDone();
    return 0;
}
