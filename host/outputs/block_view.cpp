#include "host/outputs/block_view.h"

#include <json/writer.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <type_traits>

namespace host {
namespace {

constexpr size_t kTailBytes = 4; // param47_a, param47_b

// ---- field tables: every member of the packed records, read from their bytes ---------------

enum class Kind : uint8_t { U8, U32, F32, Time };

constexpr size_t width(Kind kind) {
    return kind == Kind::U8 ? 1 : kind == Kind::Time ? kTimeRecordSize : 4;
}

struct Field {
    const char *name;
    size_t offset;
    size_t size;
    Kind kind;
    bool array;
};

// A member is a list when it is an array other than a time record; arrays of capacity 0 hold no
// byte and make an empty list.
#define HOST_FIELD(Record, member, kind)                                                           \
    Field {                                                                                        \
#member, offsetof(Record, member), sizeof(Record::member), kind,                           \
            kind != Kind::Time && (std::is_array <decltype(Record::member)>::value ||              \
                                   sizeof(Record::member) != width(kind))                          \
    }

const Field kRcFields[] = {
    HOST_FIELD(rcData, data_id, Kind::U32), HOST_FIELD(rcData, reserved, Kind::U8),
    HOST_FIELD(rcData, out_v, Kind::F32),   HOST_FIELD(rcData, channel_count, Kind::U8),
    HOST_FIELD(rcData, time, Kind::Time),
};

const Field kRcChannelFields[] = {
    HOST_FIELD(mpx23_rc_channel, out_i, Kind::F32),
    HOST_FIELD(mpx23_rc_channel, p41_41_count, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, p41_41, Kind::F32),
    HOST_FIELD(mpx23_rc_channel, on_off, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, limit, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, charge_mode, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, p41_43_count, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, p41_43, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, fault, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, p41_44_count, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, p41_44, Kind::U8),
};

const Field kAcFields[] = {
    HOST_FIELD(acData, data_id, Kind::U32),      HOST_FIELD(acData, ia, Kind::F32),
    HOST_FIELD(acData, ib, Kind::F32),           HOST_FIELD(acData, ic, Kind::F32),
    HOST_FIELD(acData, channel_count, Kind::U8), HOST_FIELD(acData, airlock_count, Kind::U8),
    HOST_FIELD(acData, airlock, Kind::U8),       HOST_FIELD(acData, p40_43_count, Kind::U8),
    HOST_FIELD(acData, p40_43, Kind::U8),        HOST_FIELD(acData, ia_alarm, Kind::U8),
    HOST_FIELD(acData, ib_alarm, Kind::U8),      HOST_FIELD(acData, ic_alarm, Kind::U8),
    HOST_FIELD(acData, time, Kind::Time),
};

const Field kAcChannelFields[] = {
    HOST_FIELD(mpx23_ac_channel, ua, Kind::F32),
    HOST_FIELD(mpx23_ac_channel, ub, Kind::F32),
    HOST_FIELD(mpx23_ac_channel, uc, Kind::F32),
    HOST_FIELD(mpx23_ac_channel, f, Kind::F32),
    HOST_FIELD(mpx23_ac_channel, p40_42_count, Kind::U8),
    HOST_FIELD(mpx23_ac_channel, ua_alarm, Kind::U8),
    HOST_FIELD(mpx23_ac_channel, ub_alarm, Kind::U8),
    HOST_FIELD(mpx23_ac_channel, uc_alarm, Kind::U8),
    HOST_FIELD(mpx23_ac_channel, f_alarm, Kind::U8),
    HOST_FIELD(mpx23_ac_channel, p40_44_count, Kind::U8),
    HOST_FIELD(mpx23_ac_channel, p40_44, Kind::U8),
};

const Field kDcFields[] = {
    HOST_FIELD(dcData, data_id, Kind::U32),      HOST_FIELD(dcData, voltage, Kind::F32),
    HOST_FIELD(dcData, load_current, Kind::F32), HOST_FIELD(dcData, m_count, Kind::U8),
    HOST_FIELD(dcData, m_values, Kind::F32),     HOST_FIELD(dcData, n_count, Kind::U8),
    HOST_FIELD(dcData, n_values, Kind::F32),     HOST_FIELD(dcData, p_count, Kind::U8),
    HOST_FIELD(dcData, p_values, Kind::F32),     HOST_FIELD(dcData, voltage_alarm, Kind::U8),
    HOST_FIELD(dcData, alert_m_count, Kind::U8), HOST_FIELD(dcData, alert_m, Kind::U8),
    HOST_FIELD(dcData, alert_p_count, Kind::U8), HOST_FIELD(dcData, alert_p, Kind::U8),
    HOST_FIELD(dcData, time, Kind::Time),
};

#undef HOST_FIELD

Json::Value scalar(const unsigned char *at, Kind kind) {
    switch (kind) {
    case Kind::U8:
        return Json::Value(static_cast<unsigned>(*at));
    case Kind::U32: {
        uint32_t v;
        std::memcpy(&v, at, sizeof v);
        return Json::Value(static_cast<Json::UInt>(v));
    }
    case Kind::F32: {
        float v;
        std::memcpy(&v, at, sizeof v);
        return Json::Value(static_cast<double>(v));
    }
    case Kind::Time: {
        uint8_t record[kTimeRecordSize];
        std::memcpy(record, at, sizeof record);
        return Json::Value(time_text(record));
    }
    }
    return Json::Value();
}

template <class Record, size_t N>
Json::Value record_json(const Record &r, const Field (&fields)[N]) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&r);
    Json::Value out(Json::objectValue);
    for (const Field &f : fields) {
        if (!f.array) {
            out[f.name] = scalar(bytes + f.offset, f.kind);
            continue;
        }
        Json::Value list(Json::arrayValue);
        for (size_t at = 0; at + width(f.kind) <= f.size; at += width(f.kind))
            list.append(scalar(bytes + f.offset + at, f.kind));
        out[f.name] = list;
    }
    return out;
}

template <class Record, size_t N>
Json::Value records_json(const std::vector<Record> &list, const Field (&fields)[N]) {
    Json::Value out(Json::arrayValue);
    for (const Record &r : list)
        out.append(record_json(r, fields));
    return out;
}

// ---- reading the block ---------------------------------------------------------------------

class Reader {
public:
    Reader(const unsigned char *data, size_t len) : data(data), len(len) {}
    template <class T> bool take(T &out) {
        if (len - at < sizeof(T))
            return false;
        std::memcpy(&out, data + at, sizeof(T));
        at += sizeof(T);
        return true;
    }
    template <class T> bool take(std::vector<T> &out, size_t n) {
        out.resize(n);
        for (T &item : out)
            if (!take(item))
                return false;
        return true;
    }

private:
    const unsigned char *data;
    size_t len;
    size_t at = 0;
};

std::string fixed(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

const char *charge_mode(uint8_t mode) {
    static const char *const names[] = {"float", "equalise", "test"};
    return mode < 3 ? names[mode] : "mode?";
}

std::string module_text(size_t index, const mpx23_rc_channel &m) {
    std::string text = "#" + std::to_string(index + 1) + (m.on_off == 0 ? " on " : " off ") +
                       fixed(static_cast<double>(m.out_i), 1) + " A";
    if (m.limit)
        text += " limit";
    if (m.fault)
        text += " fault";
    return text;
}

template <class T, class F> std::string joined(const std::vector<T> &list, const char *sep, F f) {
    std::string out;
    for (size_t i = 0; i < list.size(); ++i)
        out += (i ? sep : "") + f(i, list[i]);
    return out;
}

std::string number(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(v));
    return text;
}

} // namespace

size_t block_size(size_t modules, size_t inputs) {
    return sizeof(rcData) + modules * sizeof(mpx23_rc_channel) + sizeof(acData) +
           inputs * sizeof(mpx23_ac_channel) + sizeof(dcData) + kTailBytes;
}

bool decode_block(const unsigned char *data, size_t len, DecodedBlock &out, std::string &error) {
    Reader in(data, len);
    const std::string size = "block of " + std::to_string(len) + " bytes";
    if (!data || !in.take(out.rc) || !in.take(out.modules, out.rc.channel_count)) {
        error =
            size + ": too short for " + std::to_string(out.rc.channel_count) + " rectifier records";
        return false;
    }
    if (!in.take(out.ac) || !in.take(out.inputs, out.ac.channel_count)) {
        error =
            size + ": too short for " + std::to_string(out.ac.channel_count) + " AC input records";
        return false;
    }
    const size_t expected = block_size(out.modules.size(), out.inputs.size());
    if (len != expected || !in.take(out.dc) || !in.take(out.param47_a) || !in.take(out.param47_b)) {
        error = size + ": " + std::to_string(out.modules.size()) + " rectifier and " +
                std::to_string(out.inputs.size()) + " AC input records make " +
                std::to_string(expected);
        return false;
    }
    return true;
}

std::string time_text(const uint8_t (&record)[kTimeRecordSize]) {
    uint16_t year;
    std::memcpy(&year, record, sizeof year);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", year, record[2], record[3],
                  record[4], record[5], record[6]);
    return text;
}

// Readings in volts, amperes and hertz; counts, flags and user-defined values have no unit.
struct FieldUnit {
    const char *record, *field, *unit;
};
const FieldUnit kUnits[] = {
    {"rcData", "out_v", "V"},    {"rc_channels", "out_i", "A"},   {"acData", "ia", "A"},
    {"acData", "ib", "A"},       {"acData", "ic", "A"},           {"ac_channels", "ua", "V"},
    {"ac_channels", "ub", "V"},  {"ac_channels", "uc", "V"},      {"ac_channels", "f", "Hz"},
    {"dcData", "voltage", "V"},  {"dcData", "load_current", "A"}, {"dcData", "m_values", "A"},
    {"dcData", "n_values", "A"},
};

Json::Value round_json(const RoundCompleted &round, const DecodedBlock &block) {
    Json::Value line = block_json(round.data_id, block, round.block, round.length);
    Json::Value &poll = line["poll"];
    poll["round"] = round.cost.round;
    poll["commands"] = round.cost.commands;
    poll["elapsed_ms"] = round.cost.elapsed_ms;
    poll["sent_bytes"] = static_cast<Json::UInt64>(round.cost.sent_bytes);
    poll["received_bytes"] = static_cast<Json::UInt64>(round.cost.received_bytes);
    return line;
}

Json::Value block_units() {
    Json::Value units(Json::objectValue);
    for (const FieldUnit &u : kUnits)
        units[u.record][u.field] = u.unit;
    return units;
}

std::string hex(const unsigned char *data, size_t len) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(2 * len);
    for (size_t i = 0; i < len; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

Json::Value block_json(uint32_t data_id, const DecodedBlock &block, const unsigned char *data,
                       size_t len) {
    Json::Value out(Json::objectValue);
    out["data_id"] = static_cast<Json::UInt>(data_id);
    out["time"] = time_text(block.dc.time);
    out["rcData"] = record_json(block.rc, kRcFields);
    out["rc_channels"] = records_json(block.modules, kRcChannelFields);
    out["acData"] = record_json(block.ac, kAcFields);
    out["ac_channels"] = records_json(block.inputs, kAcChannelFields);
    out["dcData"] = record_json(block.dc, kDcFields);
    out["param47_a"] = block.param47_a;
    out["param47_b"] = block.param47_b;
    out["block"] = hex(data, len);
    return out;
}

std::string block_table(uint32_t data_id, const DecodedBlock &b) {
    std::string line = "device " + std::to_string(data_id) + "  " + time_text(b.dc.time) + "  DC " +
                       fixed(static_cast<double>(b.dc.voltage), 1) + " V " +
                       fixed(static_cast<double>(b.dc.load_current), 1) + " A  AC";
    for (const auto &in : b.inputs)
        line += " " + fixed(static_cast<double>(in.ua), 0) + "/" +
                fixed(static_cast<double>(in.ub), 0) + "/" + fixed(static_cast<double>(in.uc), 0);
    line += b.inputs.empty() ? " -" : " V";
    line += "  param47 " + std::to_string(b.param47_a) + "/" + std::to_string(b.param47_b);
    if (b.modules.empty())
        return line;
    return line + "\n    modules (" + charge_mode(b.modules[0].charge_mode) +
           "): " + joined(b.modules, ", ", module_text);
}

std::string csv_header() {
    return "row,stored,data_id,block_time,dc_voltage,load_current,rc_out_v,module_currents,"
           "module_on,ac_phase_voltages,ac_frequencies,param47_a,param47_b";
}

std::string csv_row(int64_t row, const std::string &stored, uint32_t data_id,
                    const DecodedBlock &b) {
    auto currents = [](size_t, const mpx23_rc_channel &m) { return number(m.out_i); };
    auto on = [](size_t, const mpx23_rc_channel &m) { return std::string(m.on_off ? "0" : "1"); };
    auto phases = [](size_t, const mpx23_ac_channel &c) {
        return number(c.ua) + "/" + number(c.ub) + "/" + number(c.uc);
    };
    auto hz = [](size_t, const mpx23_ac_channel &c) { return number(c.f); };
    std::ostringstream out;
    out << row << ',' << stored << ',' << data_id << ',' << time_text(b.dc.time) << ','
        << number(b.dc.voltage) << ',' << number(b.dc.load_current) << ',' << number(b.rc.out_v)
        << ',' << joined(b.modules, ";", currents) << ',' << joined(b.modules, ";", on) << ','
        << joined(b.inputs, ";", phases) << ',' << joined(b.inputs, ";", hz) << ',' << b.param47_a
        << ',' << b.param47_b;
    return out.str();
}

std::string json_line(const Json::Value &value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["precision"] = 7;
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

std::string alarm_text(const AlarmRecord &a) {
    return a.time + " device " + std::to_string(a.data_id) + " alarm " +
           (a.raised ? "raised  " : "cleared ") + a.signal_id + " " + a.text + " [" + a.detail +
           "]";
}

Json::Value alarm_json(const AlarmRecord &a) {
    Json::Value line;
    line["alarm"] = a.raised ? "raised" : "cleared";
    line["data_id"] = a.data_id;
    line["time"] = a.time;
    line["signal_id"] = a.signal_id;
    line["text"] = a.text;
    line["detail"] = a.detail;
    return line;
}

} // namespace host
