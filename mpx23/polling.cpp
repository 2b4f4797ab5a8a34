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
#include "protocol/codes.h"
#include "protocol/reply_layout.h"

#include <cstdio>

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

// One row per poll step: the command sent on entering the step, how its reply is taken, the
// lines said about it, and the step that follows.
struct MPX23::StepRow {
    // Whether the command carries the one-byte INFO (cmd_info: all units) of the AC and DC
    // distribution queries.
    enum class Info : uint8_t { None, AllUnits };
    struct Command {
        uint8_t group;     // CID1
        uint8_t operation; // CID2
        Info info;
    };

    // The group's data flag as the step has it: an analogue reply carries it (and may keep it
    // in the group's member for the group's other steps), the other steps read it from there.
    // The DC group keeps none.
    struct DataFlag {
        uint8_t MPX23::*kept;
        bool carried;
        static constexpr DataFlag carried_into(uint8_t MPX23::*member) { return {member, true}; }
        static constexpr DataFlag carried_only() { return {nullptr, true}; }
        static constexpr DataFlag read_from(uint8_t MPX23::*member) { return {member, false}; }
        static constexpr DataFlag none() { return {nullptr, false}; }
    };
    // How many units a reply must cover to be taken.
    enum class Units : uint8_t { Any, ExactlyOne };
    struct Take {
        OtherGroup other_group;
        Slice slice;
        Decoder decoder;
        DataFlag flag;
        Units units;
    };

    // What the driver says about the reply; each line is optional.
    struct Lines {
        const char *unit_count = nullptr;   // diagnostic line with the reply's units, first
        const char *decoded_size = nullptr; // diagnostic line with the decoder's result
        const char *error_log = nullptr;    // the host's log line when the reply is not taken
        const char *error_line = nullptr;   // diagnostic line when the reply is not taken
        constexpr Lines with_unit_count(const char *line) const {
            return with(&Lines::unit_count, line);
        }
        constexpr Lines with_decoded_size(const char *line) const {
            return with(&Lines::decoded_size, line);
        }
        constexpr Lines with_error_log(const char *line) const {
            return with(&Lines::error_log, line);
        }
        constexpr Lines with_error_line(const char *line) const {
            return with(&Lines::error_line, line);
        }
        constexpr Lines with(const char *Lines::*member, const char *line) const {
            Lines lines = *this;
            lines.*member = line;
            return lines;
        }
    };

    // The next step: on a status change (None: the status bit is not looked at), on an alarm
    // change, and on a quiet power system. Until flags decide, the first of the two changes.
    struct Next {
        PollStep status = PollStep::None;
        PollStep alarm = PollStep::None;
        PollStep quiet = PollStep::None;
        static constexpr Next always(PollStep step) { return {PollStep::None, step, step}; }
        constexpr Next on_status(PollStep step) const { return {step, alarm, quiet}; }
        constexpr Next on_alarm(PollStep step) const { return {status, step, quiet}; }
        constexpr Next when_quiet(PollStep step) const { return {status, alarm, step}; }
    };

    PollStep step;
    Command command;
    Take take;
    Lines lines;
    Next next;
};

const MPX23::StepRow *MPX23::find_step(int32_t state) {
    namespace group = protocol::group;
    namespace command = protocol::command;
    using S = PollStep;
    using G = OtherGroup;
    using Row = StepRow;
    using Command = Row::Command;
    using Take = Row::Take;
    using Lines = Row::Lines;
    using Next = Row::Next;
    using Flag = Row::DataFlag;
    constexpr Row::Info kNoInfo = Row::Info::None;
    constexpr Row::Info kAllUnits = Row::Info::AllUnits;
    constexpr Row::Units kAnyUnits = Row::Units::Any;
    constexpr Row::Units kOneUnit = Row::Units::ExactlyOne;
    // ~ VER ADR CID1 CID2 LENGTH [INFO] CHKSUM \r
    // Rows in the order a full round sends their commands; row k holds step k modulo 9.
    static constexpr StepRow steps[] = {
        {S::Parameters, Command{group::kDc, command::kParameters, kNoInfo},
         Take{G::LogAndGoOn, Slice::WholeInfo, &MPX23::parse42_47, Flag::none(), kAnyUnits},
         Lines(), Next::always(S::AcAnalogue)},
        {S::AcAnalogue, Command{group::kAc, command::kAnalogue, kAllUnits},
         Take{G::ResetRound, Slice::Body, &MPX23::parse40_42,
              Flag::carried_into(&MPX23::ac_data_flag), kAnyUnits},
         Lines().with_unit_count(text::kAcNumber).with_error_line(text::kAcError),
         Next().on_status(S::AcStatus).on_alarm(S::AcAlarms).when_quiet(S::RcAnalogue)},
        {S::AcStatus, Command{group::kAc, command::kStatus, kAllUnits},
         Take{G::Ignore, Slice::Body, &MPX23::parse40_43, Flag::read_from(&MPX23::ac_data_flag),
              kAnyUnits},
         Lines(), Next().on_alarm(S::AcAlarms).when_quiet(S::RcAnalogue)},
        {S::AcAlarms, Command{group::kAc, command::kAlarms, kAllUnits},
         Take{G::Ignore, Slice::Body, &MPX23::parse40_44, Flag::read_from(&MPX23::ac_data_flag),
              kAnyUnits},
         Lines(), Next::always(S::RcAnalogue)},
        {S::RcAnalogue, Command{group::kRectifiers, command::kAnalogue, kNoInfo},
         Take{G::Ignore, Slice::WholeInfo, &MPX23::parse41_42,
              Flag::carried_into(&MPX23::rc_data_flag), kAnyUnits},
         Lines().with_error_log(text::kRcAnalogueLog).with_error_line(text::kRcAnalogueError),
         Next().on_status(S::RcStatus).on_alarm(S::RcAlarms).when_quiet(S::DcAnalogue)},
        {S::RcStatus, Command{group::kRectifiers, command::kStatus, kNoInfo},
         Take{G::Ignore, Slice::WholeInfo, &MPX23::parse41_43,
              Flag::read_from(&MPX23::rc_data_flag), kAnyUnits},
         Lines().with_error_log(text::kRcStatusLog),
         Next().on_alarm(S::RcAlarms).when_quiet(S::DcAnalogue)},
        {S::RcAlarms, Command{group::kRectifiers, command::kAlarms, kNoInfo},
         Take{G::Ignore, Slice::WholeInfo, &MPX23::parse41_44,
              Flag::read_from(&MPX23::rc_data_flag), kAnyUnits},
         Lines().with_error_log(text::kRcAlarmLog), Next::always(S::DcAnalogue)},
        // There is no DC status query: a DC status change, like an alarm change, fetches the
        // alarms.
        {S::DcAnalogue, Command{group::kDc, command::kAnalogue, kAllUnits},
         Take{G::Ignore, Slice::Body, &MPX23::parse42_42, Flag::carried_only(), kOneUnit},
         Lines().with_unit_count(text::kDcNumber).with_decoded_size(text::kDcUsedLength),
         Next().on_status(S::DcAlarms).on_alarm(S::DcAlarms).when_quiet(S::RoundEnd)},
        {S::DcAlarms, Command{group::kDc, command::kAlarms, kAllUnits},
         Take{G::Ignore, Slice::Body, &MPX23::parse42_44, Flag::none(), kOneUnit},
         Lines().with_unit_count(text::kDcAlarmNumber), Next::always(S::RoundEnd)},
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
    const StepRow::Command &command = step->command;
    if (command.info == StepRow::Info::AllUnits)
        write_pmbus_cmd(command.group, command.operation, &cmd_info, 1);
    else
        write_pmbus_cmd(command.group, command.operation);
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
    const StepRow::Next &next = row.next;
    const bool status_matters = next.status != PollStep::None;
    if (!flags_decide())
        return status_matters ? next.status : next.alarm;
    if (status_matters && (flag & protocol::data_flag::kStatusChanged))
        return next.status;
    return (flag & protocol::data_flag::kAlarmChanged) ? next.alarm : next.quiet;
}

// The poll steps first: they take nearly every reply, and no step shares a control request's
// state.
int MPX23::process_payload() {
    if (const StepRow *step = find_step(poll_state))
        return run_step(*step, Reply::of_frame(rx_frame));
    if (poll_state == static_cast<int32_t>(PollStep::SetParameterPending) ||
        poll_state == static_cast<int32_t>(PollStep::RemoteControlPending)) {
        ctrl_result = 1; // a reply arrived; what it says is not examined
        return 0;
    }
    return 1;
}

// Whether the row's decoder takes the reply.
bool MPX23::decoded(const StepRow &row, const Reply &reply) {
    const StepRow::Lines &lines = row.lines;
    if (row.take.slice == Slice::WholeInfo) {
        if ((this->*row.take.decoder)(reply.info.data, reply.info.len) == reply.info.len)
            return true;
        if (lines.error_log)
            InfoLog(lines.error_log, data_id);
    } else {
        const Reply::Span body = reply.body();
        const int used = (this->*row.take.decoder)(body.data, body.len);
        if (lines.decoded_size)
            diagnostics::say(lines.decoded_size, used);
        if (used != -1)
            return true;
    }
    if (lines.error_line)
        diagnostics::say(lines.error_line);
    return false;
}

// Whether the reply has the length its command's layout gives for its own counts. A reply of
// the right group but another command (a late answer to an earlier one) almost never has: it is
// logged and left unread, and the step waits on for its own reply, as for a frame that failed
// its checks.
bool MPX23::fits_command(const StepRow &row, const Reply &reply) {
    const protocol::ReplyLayout *layout =
        protocol::reply_layout(row.command.group, row.command.operation);
    if (!layout || protocol::fits_layout(*layout, reply.info.data, reply.info.len))
        return true;
    char line[112];
    std::snprintf(line, sizeof line, text::kLayoutLog, row.command.group, row.command.operation,
                  reply.info.len,
                  protocol::expected_info_length(*layout, reply.info.data, reply.info.len));
    InfoLog(line, data_id);
    return false;
}

// Carries out one row on its reply: returns 0 when the exchange is over, else 1.
int MPX23::run_step(const StepRow &row, const Reply &reply) {
    const StepRow::Take &take = row.take;
    const bool of_group = reply.group == row.command.group;
    if (!of_group && take.other_group == OtherGroup::ResetRound) {
        Reset();
        return 0;
    }
    if (!of_group && take.other_group == OtherGroup::Ignore)
        return 1;
    if (!of_group) {
        char line[96];
        std::snprintf(line, sizeof line, text::kParameterGroupLog, reply.group);
        InfoLog(line, data_id);
    } else {
        if (row.lines.unit_count)
            diagnostics::say(row.lines.unit_count, reply.units);
        if (take.units == StepRow::Units::ExactlyOne && reply.units != 1)
            return 1;
        if (!fits_command(row, reply))
            return 1;
        if (take.flag.carried && take.flag.kept)
            this->*take.flag.kept = reply.data_flag;
        if (!decoded(row, reply))
            return 1;
    }
    const uint8_t flag = take.flag.carried ? reply.data_flag
                         : take.flag.kept  ? this->*take.flag.kept
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
