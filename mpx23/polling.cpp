// The device object and its polling cycle. A round asks the three groups of the power system in
// a fixed order: the DC distribution parameters first, then AC distribution (0x40), rectifier
// modules (0x41) and DC distribution (0x42). Analogue values are read in every round; status and
// alarm values only in a device's first round or when a group's data flag announces a change.
//
// Every step is one row of the step table below; one runner (run_step) carries a row out.
#include "mpx23/diagnostics.h"
#include "mpx23/mpx23.h"
#include "mpx23/reply.h"
#include "mpx23/texts.h"

#include <cstdio>

namespace {

constexpr uint8_t kAcGroup = 0x40;
constexpr uint8_t kRcGroup = 0x41;
constexpr uint8_t kDcGroup = 0x42;

constexpr uint8_t kStatusChanged = 0x10; // data flag bit 4
constexpr uint8_t kAlarmChanged = 0x01;  // data flag bit 0

} // namespace

// What a step does with a reply of another group than the one it asked.
enum class MPX23::OtherGroup : uint8_t {
    Ignore,     // wait on: the reply is left unread
    ResetRound, // the line is out of step: give the round up
    LogAndGoOn, // a late answer to the previous round: log it, skip the decoder, go on
};

// Which part of INFO the step's decoder reads.
enum class MPX23::Slice : uint8_t {
    Body,      // behind the data flag and unit count; the decoder fails with -1
    WholeInfo, // data flag included; the reply is taken only when consumed exactly
};

// One row per poll step: the command sent on entering the step, and how its reply is taken.
struct MPX23::StepRow {
    PollStep step;
    uint8_t cid1, cid2;
    bool with_info; // the one-byte INFO (cmd_info: all units) of AC and DC distribution queries
    OtherGroup other_group;
    Slice slice;
    Decoder decoder;
    // The member keeping the group's data flag (null: the DC group keeps none). An analogue
    // reply stores its data flag there; the other steps of the group read it from there.
    uint8_t MPX23::*group_flag;
    bool analogue;          // the reply carries the group's data flag
    bool one_unit;          // the reply is taken only when it covers exactly one unit
    const char *unit_label; // diagnostic line with the reply's unit count, before decoding
    const char *used_label; // diagnostic line with the decoder's result
    const char *error_log;  // the host's log line when the reply is not taken
    const char *error_line; // diagnostic line when the reply is not taken
    // The next step: on a status change (None: the status bit is not looked at), on an alarm
    // change, and on a quiet power system. Until flags decide, the first of the two changes.
    PollStep on_status, on_alarm, quiet;
};

const MPX23::StepRow *MPX23::find_step(int32_t state) {
    using S = PollStep;
    using G = OtherGroup;
    // ~ VER ADR CID1 CID2 LENGTH [INFO] CHKSUM \r
    // Rows in the order a full round sends their commands; row k holds step k modulo 9.
    static const StepRow steps[] = {
        {S::Parameters, kDcGroup, 0x47, false, G::LogAndGoOn, Slice::WholeInfo, &MPX23::parse42_47,
         nullptr, false, false, nullptr, nullptr, nullptr, nullptr, S::None, S::AcAnalogue,
         S::AcAnalogue},
        {S::AcAnalogue, kAcGroup, 0x42, true, G::ResetRound, Slice::Body, &MPX23::parse40_42,
         &MPX23::ac_data_flag, true, false, text::kAcNumber, nullptr, nullptr, text::kAcError,
         S::AcStatus, S::AcAlarms, S::RcAnalogue},
        {S::AcStatus, kAcGroup, 0x43, true, G::Ignore, Slice::Body, &MPX23::parse40_43,
         &MPX23::ac_data_flag, false, false, nullptr, nullptr, nullptr, nullptr, S::None,
         S::AcAlarms, S::RcAnalogue},
        {S::AcAlarms, kAcGroup, 0x44, true, G::Ignore, Slice::Body, &MPX23::parse40_44,
         &MPX23::ac_data_flag, false, false, nullptr, nullptr, nullptr, nullptr, S::None,
         S::RcAnalogue, S::RcAnalogue},
        {S::RcAnalogue, kRcGroup, 0x42, false, G::Ignore, Slice::WholeInfo, &MPX23::parse41_42,
         &MPX23::rc_data_flag, true, false, nullptr, nullptr, text::kRcAnalogueLog,
         text::kRcAnalogueError, S::RcStatus, S::RcAlarms, S::DcAnalogue},
        {S::RcStatus, kRcGroup, 0x43, false, G::Ignore, Slice::WholeInfo, &MPX23::parse41_43,
         &MPX23::rc_data_flag, false, false, nullptr, nullptr, text::kRcStatusLog, nullptr, S::None,
         S::RcAlarms, S::DcAnalogue},
        {S::RcAlarms, kRcGroup, 0x44, false, G::Ignore, Slice::WholeInfo, &MPX23::parse41_44,
         &MPX23::rc_data_flag, false, false, nullptr, nullptr, text::kRcAlarmLog, nullptr, S::None,
         S::DcAnalogue, S::DcAnalogue},
        // There is no DC status query: a DC status change, like an alarm change, fetches the
        // alarms.
        {S::DcAnalogue, kDcGroup, 0x42, true, G::Ignore, Slice::Body, &MPX23::parse42_42, nullptr,
         true, true, text::kDcNumber, text::kDcUsedLength, nullptr, nullptr, S::DcAlarms,
         S::DcAlarms, S::RoundEnd},
        {S::DcAlarms, kDcGroup, 0x44, true, G::Ignore, Slice::Body, &MPX23::parse42_44, nullptr,
         false, true, text::kDcAlarmNumber, nullptr, nullptr, nullptr, S::None, S::RoundEnd,
         S::RoundEnd},
    };
    constexpr int kRows = sizeof steps / sizeof steps[0];
    if (state < 1 || state > kRows)
        return nullptr;
    const StepRow &row = steps[state % kRows];
    return static_cast<int32_t>(row.step) == state ? &row : nullptr;
}

MPX23::MPX23() {
    device_type = "mpx23";
    baud_rate = 9600;
    // Read by the host, never by the driver: link_option by the host's serial device,
    // frame_option by the protocol engine; the values are what they expect of this device.
    link_option = 1;
    frame_option = 0x20;
}

MPX23::~MPX23() = default;

void MPX23::send_step(PollStep state) {
    const StepRow *step = find_step(static_cast<int32_t>(state));
    poll_state = static_cast<int32_t>(state);
    if (step->with_info)
        write_pmbus_cmd(step->cid1, step->cid2, &cmd_info, 1);
    else
        write_pmbus_cmd(step->cid1, step->cid2);
}

int MPX23::RefreshStatus() {
    KVOSPDevice::RefreshStatus();
    send_step(PollStep::Parameters);
    return 1;
}

// Whether the data flags choose the status and alarm queries. Until this object has completed a
// round of its own they are all sent, also after a cache load: a cached block says nothing about
// breakers, module states or alarms now.
bool MPX23::flags_decide() const {
    return has_completed_round();
}

PollStep MPX23::next_step(const StepRow &row, uint8_t flag) const {
    const bool status_matters = row.on_status != PollStep::None;
    if (!flags_decide())
        return status_matters ? row.on_status : row.on_alarm;
    if (status_matters && (flag & kStatusChanged))
        return row.on_status;
    return (flag & kAlarmChanged) ? row.on_alarm : row.quiet;
}

int MPX23::process_payload() {
    if (poll_state == static_cast<int32_t>(PollStep::SetParameterPending) ||
        poll_state == static_cast<int32_t>(PollStep::RemoteControlPending)) {
        ctrl_result = 1; // a reply arrived; what it says is not examined
        return 0;
    }
    const StepRow *step = find_step(poll_state);
    return step ? run_step(*step, Reply::of_frame(rx_frame)) : 1;
}

// Whether the row's decoder takes the reply.
bool MPX23::decoded(const StepRow &row, const Reply &reply) {
    if (row.slice == Slice::WholeInfo) {
        if ((this->*row.decoder)(reply.info.data, reply.info.len) == reply.info.len)
            return true;
        if (row.error_log)
            InfoLog(row.error_log, data_id);
    } else {
        const Reply::Span body = reply.body();
        const int used = (this->*row.decoder)(body.data, body.len);
        if (row.used_label)
            diagnostics::say(row.used_label, used);
        if (used != -1)
            return true;
    }
    if (row.error_line)
        diagnostics::say(row.error_line);
    return false;
}

// Carries out one row on its reply: returns 0 when the exchange is over, else 1.
int MPX23::run_step(const StepRow &row, const Reply &reply) {
    const bool of_group = reply.group == row.cid1;
    if (!of_group && row.other_group == OtherGroup::ResetRound) {
        Reset();
        return 0;
    }
    if (!of_group && row.other_group == OtherGroup::Ignore)
        return 1;
    if (!of_group) {
        char line[96];
        std::snprintf(line, sizeof line, text::kParameterGroupLog, reply.group);
        InfoLog(line, data_id);
    } else {
        if (row.analogue && row.group_flag)
            this->*row.group_flag = reply.data_flag;
        if (row.unit_label)
            diagnostics::say(row.unit_label, reply.units);
        if (row.one_unit && reply.units != 1)
            return 1;
        if (!decoded(row, reply))
            return 1;
    }
    const uint8_t flag = row.analogue     ? reply.data_flag
                         : row.group_flag ? this->*row.group_flag
                                          : 0;
    const PollStep next = next_step(row, flag);
    if (next == PollStep::RoundEnd) {
        RoundDone();
        return 0;
    }
    send_step(next);
    return 1;
}

// 0x42/0x47, parameters: two big-endian values at INFO 9-10 and 11-12, nothing else read. A
// reply too short to hold them leaves them as they were. Returns the INFO length: the rest of
// the reply is no concern of this driver.
int MPX23::parse42_47(const unsigned char *data, int len) {
    constexpr int kValuesAt = 9;
    ByteReader in(data, len);
    uint8_t a_hi = 0, a_lo = 0, b_hi = 0, b_lo = 0;
    in.skip(kValuesAt);
    if (in.pair(a_hi, a_lo) && in.pair(b_hi, b_lo)) {
        param47_a = static_cast<uint16_t>(a_hi << 8 | a_lo);
        param47_b = static_cast<uint16_t>(b_hi << 8 | b_lo);
    }
    return len;
}
