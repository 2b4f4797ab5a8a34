#include "host/block/block_fields.h"

#include "host/common/catalogue.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

namespace host {
namespace {

using Block = const DecodedBlock &;

size_t one(Block) {
    return 1;
}
size_t modules(Block b) {
    return b.modules.size();
}
size_t inputs(Block b) {
    return b.inputs.size();
}
size_t batteries(Block b) {
    return std::min<size_t>(b.dc.m_count, DcSizes::M_SIZE());
}
size_t branches(Block b) {
    return std::min<size_t>(b.dc.n_count, DcSizes::N_SIZE());
}
size_t user_values(Block b) {
    return std::min<size_t>(b.dc.p_count, DcSizes::P_SIZE());
}

const char *const kModules = "rcData.channel_count";
const char *const kInputs = "acData.channel_count";

// A setting by the name it is set by; every row of kSetpoints is one.
template <const char *name> double setting(Block b, size_t) {
    return setpoint_value(*setpoint_named(name), b);
}
constexpr char kFloatVoltage[] = "float-voltage";
constexpr char kEqualiseVoltage[] = "equalise-voltage";

} // namespace

// The parameter reply's two words, in 10 mV. The temperature compensation follows them in the
// reply, but the driver does not keep it.
const Setpoint kSetpoints[2] = {
    {kFloatVoltage, &DecodedBlock::param47_a, 0.01, 2},
    {kEqualiseVoltage, &DecodedBlock::param47_b, 0.01, 2},
};

// Members are read by value from the decoded records, never through a pointer into them.
const BlockField kBlockFields[] = {
    {"rc.voltage", "rcData.out_v", "rectifier output voltage", "V", "", 0, one,
     [](Block b, size_t) -> double { return b.rc.out_v; }},
    {"rc.modules", "rcData.channel_count", "rectifier modules reported", "", "", 0, one,
     [](Block b, size_t) -> double { return b.rc.channel_count; }},
    {"moduleN.current", "rc_channels[N-1].out_i", "module output current", "A", kModules, 0,
     modules, [](Block b, size_t i) -> double { return b.modules[i].out_i; }},
    {"moduleN.on_off", "rc_channels[N-1].on_off", "0 when the module is on, 1 when off", "",
     kModules, 0, modules, [](Block b, size_t i) -> double { return b.modules[i].on_off; }},
    {"moduleN.limited", "rc_channels[N-1].limit", "1 when the module is current-limited", "",
     kModules, 0, modules, [](Block b, size_t i) -> double { return b.modules[i].limit; }},
    {"moduleN.charge_mode", "rc_channels[N-1].charge_mode", "0 float, 1 equalise, 2 test", "",
     kModules, 0, modules, [](Block b, size_t i) -> double { return b.modules[i].charge_mode; }},
    {"moduleN.fault", "rc_channels[N-1].fault", "module fault (0: none)", "", kModules, 0, modules,
     [](Block b, size_t i) -> double { return b.modules[i].fault; }},
    {"ac.ia", "acData.ia", "AC phase A current", "A", "", 0, one,
     [](Block b, size_t) -> double { return b.ac.ia; }},
    {"ac.ib", "acData.ib", "AC phase B current", "A", "", 0, one,
     [](Block b, size_t) -> double { return b.ac.ib; }},
    {"ac.ic", "acData.ic", "AC phase C current", "A", "", 0, one,
     [](Block b, size_t) -> double { return b.ac.ic; }},
    {"ac.inputs", "acData.channel_count", "AC inputs reported", "", "", 0, one,
     [](Block b, size_t) -> double { return b.ac.channel_count; }},
    {"acN.ua", "ac_channels[N-1].ua", "AC input phase A voltage", "V", kInputs, 0, inputs,
     [](Block b, size_t i) -> double { return b.inputs[i].ua; }},
    {"acN.ub", "ac_channels[N-1].ub", "AC input phase B voltage", "V", kInputs, 0, inputs,
     [](Block b, size_t i) -> double { return b.inputs[i].ub; }},
    {"acN.uc", "ac_channels[N-1].uc", "AC input phase C voltage", "V", kInputs, 0, inputs,
     [](Block b, size_t i) -> double { return b.inputs[i].uc; }},
    {"acN.f", "ac_channels[N-1].f", "AC input frequency", "Hz", kInputs, 0, inputs,
     [](Block b, size_t i) -> double { return b.inputs[i].f; }},
    {"acN.ua_alarm", "ac_channels[N-1].ua_alarm", "phase A voltage state (0: normal)", "", kInputs,
     0, inputs, [](Block b, size_t i) -> double { return b.inputs[i].ua_alarm; }},
    {"acN.ub_alarm", "ac_channels[N-1].ub_alarm", "phase B voltage state (0: normal)", "", kInputs,
     0, inputs, [](Block b, size_t i) -> double { return b.inputs[i].ub_alarm; }},
    {"acN.uc_alarm", "ac_channels[N-1].uc_alarm", "phase C voltage state (0: normal)", "", kInputs,
     0, inputs, [](Block b, size_t i) -> double { return b.inputs[i].uc_alarm; }},
    {"acN.f_alarm", "ac_channels[N-1].f_alarm", "frequency state (0: normal)", "", kInputs, 0,
     inputs, [](Block b, size_t i) -> double { return b.inputs[i].f_alarm; }},
    {"dc.voltage", "dcData.voltage", "DC bus voltage", "V", "", 0, one,
     [](Block b, size_t) -> double { return b.dc.voltage; }},
    {"dc.load_current", "dcData.load_current", "DC load current", "A", "", 0, one,
     [](Block b, size_t) -> double { return b.dc.load_current; }},
    {"dc.voltage_alarm", "dcData.voltage_alarm", "DC voltage state (0: normal)", "", "", 0, one,
     [](Block b, size_t) -> double { return b.dc.voltage_alarm; }},
    {"batteryN.current", "dcData.m_values[N-1]", "battery current", "A", "dcData.m_count",
     DcSizes::M_SIZE(), batteries, [](Block b, size_t i) -> double { return b.dc.m_values[i]; }},
    {"branchN.current", "dcData.n_values[N-1]", "load branch current", "A", "dcData.n_count",
     DcSizes::N_SIZE(), branches, [](Block b, size_t i) -> double { return b.dc.n_values[i]; }},
    {"userN.value", "dcData.p_values[N-1]", "user-defined value", "", "dcData.p_count",
     DcSizes::P_SIZE(), user_values, [](Block b, size_t i) -> double { return b.dc.p_values[i]; }},
    {"param47_a", "param47_a", "system parameter word A (the float voltage in 10 mV)", "", "", 0,
     one, [](Block b, size_t) -> double { return b.param47_a; }},
    {"param47_b", "param47_b", "system parameter word B (the equalise voltage in 10 mV)", "", "", 0,
     one, [](Block b, size_t) -> double { return b.param47_b; }},
    {kFloatVoltage, "setpoints.float-voltage", "float charge voltage, as set", "V", "", 0, one,
     setting<kFloatVoltage>},
    {kEqualiseVoltage, "setpoints.equalise-voltage", "equalise charge voltage, as set", "V", "", 0,
     one, setting<kEqualiseVoltage>},
};
const size_t kBlockFieldCount = std::size(kBlockFields);

namespace {

// Where N stands in a pattern: the only capital letter names use.
size_t placeholder(const char *pattern) {
    return std::string(pattern).find('N');
}

// "module12.current" against "moduleN.current": 12; 0 when it does not fit.
size_t index_in(const std::string &name, const std::string &pattern) {
    const size_t at = placeholder(pattern.c_str());
    const std::string head = pattern.substr(0, at), tail = pattern.substr(at + 1);
    if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return 0;
    const std::string digits = name.substr(head.size(), name.size() - head.size() - tail.size());
    if (digits.size() > 3 || digits[0] == '0' ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return std::isdigit(c); }))
        return 0;
    return std::stoul(digits);
}

std::string replaced(const char *pattern, const char *placeholder_text, const std::string &by) {
    std::string text = pattern;
    const size_t at = text.find(placeholder_text);
    return at == std::string::npos
               ? text
               : text.replace(at, std::char_traits<char>::length(placeholder_text), by);
}

} // namespace

bool indexed(const BlockField &field) {
    return *field.count != '\0';
}

std::string field_name(const BlockField &field, size_t n) {
    return replaced(field.name, "N", std::to_string(n));
}

std::string field_location(const BlockField &field, size_t n) {
    return replaced(field.location, "N-1", std::to_string(n - 1));
}

const BlockField *find_block_field(const std::string &name, size_t &n) {
    for (const BlockField &field : kBlockFields) {
        n = indexed(field) ? index_in(name, field.name) : (name == field.name ? 1 : 0);
        if (n != 0)
            return &field;
    }
    return nullptr;
}

bool is_block_field(const std::string &name) {
    size_t n = 0;
    return find_block_field(name, n) != nullptr;
}

BlockValue read_block_field(const std::string &name, const DecodedBlock *block, double &value,
                            std::string &error) {
    size_t n = 0;
    const BlockField *field = find_block_field(name, n);
    if (!field)
        return BlockValue::NotInBlock;
    if (!block) {
        error = "no block read yet";
        return BlockValue::Missing;
    }
    const size_t there = field->how_many(*block);
    if (n > there) {
        error = "the block holds " + std::to_string(there) + " (" + field->count + "), not " +
                std::to_string(n);
        return BlockValue::Missing;
    }
    value = field->read(*block, n - 1);
    return BlockValue::Read;
}

const Setpoint *setpoint_named(const std::string &name) {
    const auto found = std::find_if(std::begin(kSetpoints), std::end(kSetpoints),
                                    [&](const Setpoint &s) { return name == s.name; });
    return found == std::end(kSetpoints) ? nullptr : found;
}

double setpoint_value(const Setpoint &setpoint, const DecodedBlock &block) {
    return block.*setpoint.word * setpoint.step;
}

std::vector<std::pair<const char *, double>> block_setpoints(const DecodedBlock &block) {
    std::vector<std::pair<const char *, double>> out;
    for (const Setpoint &s : kSetpoints)
        out.emplace_back(s.name, setpoint_value(s, block));
    return out;
}

std::optional<std::string> setpoint_text(const std::string &name, double value) {
    const Setpoint *setpoint = setpoint_named(name);
    if (!setpoint)
        return std::nullopt;
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", setpoint->decimals, value);
    return std::string(text);
}

std::string setpoint_not_kept(const std::string &name) {
    if (setpoint_named(name) || !catalogue::parameter_named(name))
        return "";
    return name + " is set but not read back: the power system reports it, the driver does not "
                  "keep it";
}

const RecordUnit kRecordUnits[] = {
    {"rcData", "out_v", "V"},    {"rc_channels", "out_i", "A"},   {"acData", "ia", "A"},
    {"acData", "ib", "A"},       {"acData", "ic", "A"},           {"ac_channels", "ua", "V"},
    {"ac_channels", "ub", "V"},  {"ac_channels", "uc", "V"},      {"ac_channels", "f", "Hz"},
    {"dcData", "voltage", "V"},  {"dcData", "load_current", "A"}, {"dcData", "m_values", "A"},
    {"dcData", "n_values", "A"},
};
const size_t kRecordUnitCount = std::size(kRecordUnits);

} // namespace host
