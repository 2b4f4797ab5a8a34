#include "sim/simulator.h"

#include "hostlib/host_services.h"
#include "protocol/codes.h"
#include "protocol/identifiers.h"
#include "sim/replies.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace sim {
namespace {

namespace group = protocol::group;
namespace command = protocol::command;
namespace rtn = protocol::rtn;

// Separate streams, so that switching faults on does not change the readings.
constexpr uint64_t kFaultStream = 0x5DEECE66Dull;

std::string printable(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

uint8_t other_group(uint8_t cid1) {
    return cid1 == group::kAc           ? group::kRectifiers
           : cid1 == group::kRectifiers ? group::kDc
                                        : group::kAc;
}

int hex_pair(const std::string &text, size_t at) {
    if (text.size() < at + 2)
        return -1;
    unsigned value = 0;
    return std::sscanf(text.substr(at, 2).c_str(), "%2x", &value) == 1 ? static_cast<int>(value)
                                                                       : -1;
}

Info no_info() {
    return {};
}

} // namespace

struct Simulator::CommandInfo {
    uint8_t cid1, cid2;
    size_t info_len;
    bool unit_byte;    // INFO is the distribution unit byte
    bool starts_round; // the parameter query opens every polling round
    Reply (Simulator::*handler)(const Command &);
    Group group;    // whose data flag the reply carries
    uint8_t clears; // the data flag bits the reply answers, cleared once it is made
};

const Simulator::CommandInfo *Simulator::find_command(uint8_t cid1, uint8_t cid2) {
    using command::kAlarms;
    using command::kAnalogue;
    using command::kStatus;
    static const CommandInfo kCommands[] = {
        {group::kAc, kAnalogue, 1, true, false, &Simulator::ac_analogue, kAc, 0},
        {group::kAc, kStatus, 1, true, false, &Simulator::ac_status, kAc, kStatusChanged},
        {group::kAc, kAlarms, 1, true, false, &Simulator::ac_alarms, kAc, kAlarmChanged},
        {group::kRectifiers, kAnalogue, 0, false, false, &Simulator::rc_analogue, kRectifier, 0},
        {group::kRectifiers, kStatus, 0, false, false, &Simulator::rc_status, kRectifier,
         kStatusChanged},
        {group::kRectifiers, kAlarms, 0, false, false, &Simulator::rc_alarms, kRectifier,
         kAlarmChanged},
        {group::kRectifiers, command::kRemoteControl, 2, false, false, &Simulator::rc_control,
         kRectifier, 0},
        {group::kDc, kAnalogue, 1, true, false, &Simulator::dc_analogue, kDc, 0},
        // No DC status query: the alarm reply answers both bits.
        {group::kDc, kAlarms, 1, true, false, &Simulator::dc_alarms, kDc,
         kStatusChanged | kAlarmChanged},
        {group::kDc, command::kParameters, 0, false, true, &Simulator::dc_parameters, kDc, 0},
        {group::kDc, command::kSetParameter, 3, false, false, &Simulator::dc_set_parameter, kDc, 0},
    };
    for (const auto &c : kCommands)
        if (c.cid1 == cid1 && c.cid2 == cid2)
            return &c;
    return nullptr;
}

Simulator::Simulator(Config cfg)
    : config(std::move(cfg)), plant_(config.layout), drift_rng(config.seed),
      faults(config.faults, config.seed ^ kFaultStream) {
    update_flags();
    for (auto &g : groups)
        g.flag = 0; // what the plant starts with is no change
}

std::vector<Chunk> Simulator::on_bytes(const std::string &bytes) {
    return on_bytes(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

std::vector<Chunk> Simulator::on_bytes(const uint8_t *data, size_t len) {
    std::vector<Chunk> out;
    for (size_t i = 0; i < len; ++i) {
        const bool in_frame = receiver.receiving();
        const auto event = receiver.push(data[i]);
        if (data[i] == frame::kSOI)
            incoming.assign(1, static_cast<char>(frame::kSOI));
        else if (in_frame)
            incoming.push_back(static_cast<char>(data[i]));
        std::vector<Chunk> reply;
        if (event == frame::Receiver::Event::Frame)
            reply = on_frame(receiver);
        else if (event == frame::Receiver::Event::Fault)
            reply = on_bad_frame(receiver.fault());
        out.insert(out.end(), reply.begin(), reply.end());
    }
    return out;
}

std::vector<Chunk> Simulator::on_frame(const frame::Receiver &rx) {
    const uint8_t *bin = rx.binary();
    Command cmd{bin[0], bin[1], bin[2], bin[3], {bin + 6, bin + 6 + rx.info_len()}, incoming};
    note("ctl> " + printable(cmd.wire));
    return handle(cmd);
}

// A command whose checksums fail still names its address: the power system it was meant for
// says which check failed. Other faults leave nothing to answer.
std::vector<Chunk> Simulator::on_bad_frame(FrameFault fault) {
    note("ctl> " + printable(incoming) + " (" + kvo::fault_name(fault) + ")");
    if (fault != FrameFault::Checksum && fault != FrameFault::LengthChecksum)
        return {};
    const int ver = hex_pair(incoming, 1), adr = hex_pair(incoming, 3);
    const int cid1 = hex_pair(incoming, 5), cid2 = hex_pair(incoming, 7);
    if (ver < 0 || adr != config.address || cid1 < 0 || cid2 < 0)
        return {};
    auto byte = [](int v) { return static_cast<uint8_t>(v); };
    const Command cmd{byte(ver), byte(adr), byte(cid1), byte(cid2), {}, incoming};
    Reply reply{fault == FrameFault::Checksum ? rtn::kChecksumError : rtn::kLengthChecksumError,
                no_info()};
    return emit(cmd, reply, faults.draw(round_, cmd.cid1, cmd.cid2));
}

std::vector<Chunk> Simulator::handle(const Command &cmd) {
    if (cmd.adr != config.address) {
        note("sim: not for this address");
        return {};
    }
    const CommandInfo *info = find_command(cmd.cid1, cmd.cid2);
    if (info && info->starts_round && cmd.info.size() == info->info_len) {
        if (config.max_rounds && round_ == config.max_rounds) {
            finished_ = true;
            note("sim: round limit reached");
        }
        if (finished_)
            return {};
        start_round();
    }
    const auto struck = faults.draw(round_, cmd.cid1, cmd.cid2);
    // A power system that stays silent did not hear the command; one that answers with an
    // error did not carry it out. Either way nothing changes.
    Reply reply;
    if (auto rtn = struck_by(struck, FaultKind::ReturnCode))
        reply.rtn = static_cast<uint8_t>(rtn->amount);
    else if (!struck_by(struck, FaultKind::Silence) && !struck_by(struck, FaultKind::Babble))
        reply = execute(cmd);
    return emit(cmd, reply, struck);
}

Simulator::Reply Simulator::execute(const Command &cmd) {
    const CommandInfo *info = find_command(cmd.cid1, cmd.cid2);
    if (!info)
        return {rtn::kInvalidCommand, no_info()};
    if (cmd.info.size() != info->info_len)
        return {rtn::kFormatError, no_info()};
    if (info->unit_byte && cmd.info[0] != protocol::kAllUnits &&
        cmd.info[0] != protocol::kFirstUnit)
        return {rtn::kInvalidData, no_info()};
    Reply reply = (this->*info->handler)(cmd);
    groups[info->group].flag &= static_cast<uint8_t>(~info->clears);
    return reply;
}

std::vector<Chunk> Simulator::emit(const Command &cmd, const Reply &reply,
                                   const std::vector<FaultRule> &struck) {
    auto has = [&](FaultKind k) { return struck_by(struck, k); };
    std::vector<Chunk> out;
    if (has(FaultKind::Echo))
        out.push_back({cmd.wire, {}});
    if (auto b = has(FaultKind::Babble)) {
        const auto stray = babble(faults.dice(), config.baud, b->delay);
        out.insert(out.end(), stray.begin(), stray.end());
    } else if (!has(FaultKind::Silence)) {
        const uint8_t cid1 = has(FaultKind::WrongGroup) ? other_group(cmd.cid1) : cmd.cid1;
        std::string text = encode_reply(cmd.ver, config.address, cid1, reply.rtn, reply.info);
        if (has(FaultKind::LengthChecksum))
            break_length_checksum(text);
        if (has(FaultKind::Checksum))
            break_checksum(text);
        if (has(FaultKind::Truncate))
            truncate(text, faults.dice());
        if (auto n = has(FaultKind::Noise))
            text = noise(faults.dice(), n->amount) + text;
        auto split_rule = has(FaultKind::Split);
        Chunks pieces =
            split_rule ? split(text, split_rule->amount, split_rule->delay) : Chunks{{text, {}}};
        if (auto slow = has(FaultKind::Slow))
            pieces.front().delay_before += slow->delay;
        out.insert(out.end(), pieces.begin(), pieces.end());
    }
    if (auto p = has(FaultKind::Pace))
        out = pace(out, p->amount ? p->amount : config.baud);
    std::string faults_text;
    for (const auto &s : struck)
        faults_text += std::string(faults_text.empty() ? " (" : ", ") + fault_name(s.kind);
    note("sim> " + printable(joined(out)) + (faults_text.empty() ? "" : faults_text + ")"));
    return out;
}

void Simulator::start_round() {
    ++round_;
    note("sim: round " + std::to_string(round_));
    EventTarget target{plant_, config.fill};
    for (const auto &e : config.scenario.at_round(round_)) {
        const bool done = apply_event(e, target);
        note("sim: event " + e.name + (done ? "" : " (nothing to act on)"));
    }
    plant_.new_round(drift_rng, config.drift);
    update_flags();
}

void Simulator::advance_to(std::chrono::milliseconds since_start) {
    const auto due = config.scenario.due_by(since_start.count() / 1000.0);
    EventTarget target{plant_, config.fill};
    for (const auto &e : due) {
        const bool done = apply_event(e, target);
        note("sim: event " + e.name + (done ? "" : " (nothing to act on)"));
    }
    if (!due.empty())
        changed();
}

bool Simulator::apply(const Event &event) {
    EventTarget target{plant_, config.fill};
    const bool done = apply_event(event, target);
    changed();
    return done;
}

void Simulator::changed() {
    plant_.settle();
    update_flags();
}

void Simulator::update_flags() {
    Info dc_status = sim::dc_parameters(plant_, 0);
    dc_status.u8(static_cast<uint8_t>(plant_.mode));
    const std::vector<uint8_t> status[] = {sim::ac_status(plant_, 0).bytes,
                                           sim::rc_status(plant_, 0).bytes, dc_status.bytes};
    const std::vector<uint8_t> alarms[] = {sim::ac_alarms(plant_, 0).bytes,
                                           sim::rc_alarms(plant_, 0).bytes,
                                           sim::dc_alarms(plant_, 0).bytes};
    for (size_t g = 0; g < groups.size(); ++g) {
        if (status[g] != groups[g].status)
            groups[g].flag |= kStatusChanged;
        if (alarms[g] != groups[g].alarms)
            groups[g].flag |= kAlarmChanged;
        groups[g].status = status[g];
        groups[g].alarms = alarms[g];
    }
}

bool Simulator::fills(const std::string &name) const {
    return std::any_of(config.fill.begin(), config.fill.end(), [&](const std::string &pattern) {
        return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
    });
}

void Simulator::note(const std::string &line) const {
    if (log)
        *log << line << '\n' << std::flush;
}

// Queries. Each reply carries the data flag as it stands; a status or alarm reply then
// clears the bits it answers (the command table's last column).

Simulator::Reply Simulator::ac_analogue(const Command &) {
    return {rtn::kNormal, sim::ac_analogue(plant_, groups[kAc].flag,
                                           [this](const std::string &n) { return fills(n); })};
}

Simulator::Reply Simulator::ac_status(const Command &) {
    return {rtn::kNormal, sim::ac_status(plant_, groups[kAc].flag)};
}

Simulator::Reply Simulator::ac_alarms(const Command &) {
    return {rtn::kNormal, sim::ac_alarms(plant_, groups[kAc].flag)};
}

Simulator::Reply Simulator::rc_analogue(const Command &) {
    return {rtn::kNormal, sim::rc_analogue(plant_, groups[kRectifier].flag,
                                           [this](const std::string &n) { return fills(n); })};
}

Simulator::Reply Simulator::rc_status(const Command &) {
    return {rtn::kNormal, sim::rc_status(plant_, groups[kRectifier].flag)};
}

Simulator::Reply Simulator::rc_alarms(const Command &) {
    return {rtn::kNormal, sim::rc_alarms(plant_, groups[kRectifier].flag)};
}

Simulator::Reply Simulator::dc_analogue(const Command &) {
    return {rtn::kNormal, sim::dc_analogue(plant_, groups[kDc].flag,
                                           [this](const std::string &n) { return fills(n); })};
}

Simulator::Reply Simulator::dc_alarms(const Command &) {
    return {rtn::kNormal, sim::dc_alarms(plant_, groups[kDc].flag)};
}

Simulator::Reply Simulator::dc_parameters(const Command &) {
    return {rtn::kNormal, sim::dc_parameters(plant_, groups[kDc].flag)};
}

// A value outside what a 48 V plant can run with is refused as invalid data and changes
// nothing, as a real power system does (655.35 V float voltage is no setting).
Simulator::Reply Simulator::dc_set_parameter(const Command &cmd) {
    static const struct {
        uint8_t type;
        uint16_t Parameters::*field;
        int lowest, highest; // hundredths; the temperature compensation is signed
        bool is_signed;
    } kSettable[] = {
        // 42.00 to 58.00 V, 42.00 to 60.00 V, -10.00 to 0 mV/degC
        {protocol::parameter::kFloatVoltage, &Parameters::float_voltage, 4200, 5800, false},
        {protocol::parameter::kEqualiseVoltage, &Parameters::equalise_voltage, 4200, 6000, false},
        {protocol::parameter::kTemperatureCompensation, &Parameters::temp_compensation, -1000, 0,
         true},
    };
    for (const auto &p : kSettable) {
        if (p.type != cmd.info[0])
            continue;
        const auto raw = static_cast<uint16_t>(cmd.info[1] << 8 | cmd.info[2]);
        const int value = p.is_signed ? static_cast<int16_t>(raw) : raw;
        if (value < p.lowest || value > p.highest)
            return {rtn::kInvalidData, no_info()};
        plant_.params.*p.field = raw;
        changed();
        return {rtn::kNormal, no_info()};
    }
    return {rtn::kInvalidData, no_info()};
}

Simulator::Reply Simulator::rc_control(const Command &cmd) {
    enum Action { kOn, kOff, kMode };
    static const struct {
        uint8_t type;
        Action action;
        ChargeMode mode;
    } kControls[] = {
        {protocol::remote::kModuleOn, kOn, ChargeMode::Float},
        {protocol::remote::kModuleOff, kOff, ChargeMode::Float},
        {protocol::remote::kFloatCharge, kMode, ChargeMode::Float},
        {protocol::remote::kEqualiseCharge, kMode, ChargeMode::Equalise},
        {protocol::remote::kBatteryTest, kMode, ChargeMode::Test},
    };
    const uint8_t module = cmd.info[1];
    auto control = std::find_if(std::begin(kControls), std::end(kControls),
                                [&](const auto &c) { return c.type == cmd.info[0]; });
    if (control == std::end(kControls))
        return {rtn::kInvalidData, no_info()};
    if (control->action == kMode) {
        // Charge modes are the battery's: they act system-wide, whatever module is named.
        plant_.set_mode(control->mode);
    } else {
        if (module > plant_.modules.size())
            return {rtn::kInvalidData, no_info()};
        for (size_t i = 0; i < plant_.modules.size(); ++i)
            if (module == 0 || module == i + 1)
                plant_.modules[i].on = control->action == kOn;
    }
    changed();
    return {rtn::kNormal, no_info()};
}

} // namespace sim
