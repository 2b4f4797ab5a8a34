#include "host/json/block_document.h"

#include "host/block/block_fields.h"

#include "host/common/catalogue.h"
#include "host/common/clock_text.h"
#include "host/json/json_writer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <type_traits>

namespace host {
namespace {

// ---- field tables: every member of the packed records, read from their bytes ---------------

enum class Kind : uint8_t { U8, U32, F32, Time };

constexpr size_t width(Kind kind) {
    return kind == Kind::U8 ? 1 : kind == Kind::Time ? kTimeRecordSize : 4;
}

// Which entries of a list the driver wrote from the reply that announced its count. An entry it
// did not write holds whatever an earlier reply left there, and is never shown as if announced:
// a list whose values the driver did not take this time (more announced than fit, or user bytes
// that do not fill their room exactly) shows no entry at all rather than its capacity of old
// bytes. The count beside it still tells what was announced.
enum class Kept : uint8_t {
    Whole,       // no count beside it: every entry
    Head,        // the first min(count, capacity) entries, the rest stepped over (alarm bytes)
    AllOrNone,   // count entries when they fit, none when more were announced (value lists)
    ExactlyFull, // every entry when exactly the capacity was announced, else none (user bytes)
};

struct Field {
    const char *name;
    size_t offset;
    size_t size;
    Kind kind;
    bool array;
    size_t count_offset; // the count announced beside a list, when `kept` is not Whole
    Kept kept;
};

// A member is a list when it is an array other than a time record; arrays of capacity 0 hold no
// byte and make an empty list.
#define HOST_FIELD(Record, member, kind)                                                           \
    Field {                                                                                        \
#member, offsetof(Record, member), sizeof(Record::member), kind,                           \
            kind != Kind::Time && (std::is_array <decltype(Record::member)>::value ||              \
                                   sizeof(Record::member) != width(kind)),                         \
            0, Kept::Whole                                                                         \
    }
// A list with the count announced beside it.
#define HOST_LIST(Record, member, count, kind, kept)                                               \
    Field {                                                                                        \
#member, offsetof(Record, member), sizeof(Record::member), kind, true,                     \
            offsetof(Record, count), kept                                                          \
    }

const Field kRcFields[] = {
    HOST_FIELD(rcData, data_id, Kind::U32), HOST_FIELD(rcData, reserved, Kind::U8),
    HOST_FIELD(rcData, out_v, Kind::F32),   HOST_FIELD(rcData, channel_count, Kind::U8),
    HOST_FIELD(rcData, time, Kind::Time),
};

const Field kRcChannelFields[] = {
    HOST_FIELD(mpx23_rc_channel, out_i, Kind::F32),
    HOST_FIELD(mpx23_rc_channel, p41_41_count, Kind::U8),
    HOST_LIST(mpx23_rc_channel, p41_41, p41_41_count, Kind::F32, Kept::AllOrNone),
    HOST_FIELD(mpx23_rc_channel, on_off, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, limit, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, charge_mode, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, p41_43_count, Kind::U8),
    HOST_LIST(mpx23_rc_channel, p41_43, p41_43_count, Kind::U8, Kept::ExactlyFull),
    HOST_FIELD(mpx23_rc_channel, fault, Kind::U8),
    HOST_FIELD(mpx23_rc_channel, p41_44_count, Kind::U8),
    HOST_LIST(mpx23_rc_channel, p41_44, p41_44_count, Kind::U8, Kept::ExactlyFull),
};

const Field kAcFields[] = {
    HOST_FIELD(acData, data_id, Kind::U32),
    HOST_FIELD(acData, ia, Kind::F32),
    HOST_FIELD(acData, ib, Kind::F32),
    HOST_FIELD(acData, ic, Kind::F32),
    HOST_FIELD(acData, channel_count, Kind::U8),
    HOST_FIELD(acData, airlock_count, Kind::U8),
    HOST_LIST(acData, airlock, airlock_count, Kind::U8, Kept::AllOrNone),
    HOST_FIELD(acData, p40_43_count, Kind::U8),
    HOST_LIST(acData, p40_43, p40_43_count, Kind::U8, Kept::AllOrNone),
    HOST_FIELD(acData, ia_alarm, Kind::U8),
    HOST_FIELD(acData, ib_alarm, Kind::U8),
    HOST_FIELD(acData, ic_alarm, Kind::U8),
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
    HOST_LIST(mpx23_ac_channel, p40_44, p40_44_count, Kind::U8, Kept::AllOrNone),
};

const Field kDcFields[] = {
    HOST_FIELD(dcData, data_id, Kind::U32),
    HOST_FIELD(dcData, voltage, Kind::F32),
    HOST_FIELD(dcData, load_current, Kind::F32),
    HOST_FIELD(dcData, m_count, Kind::U8),
    HOST_LIST(dcData, m_values, m_count, Kind::F32, Kept::AllOrNone),
    HOST_FIELD(dcData, n_count, Kind::U8),
    HOST_LIST(dcData, n_values, n_count, Kind::F32, Kept::AllOrNone),
    HOST_FIELD(dcData, p_count, Kind::U8),
    HOST_LIST(dcData, p_values, p_count, Kind::F32, Kept::AllOrNone),
    HOST_FIELD(dcData, voltage_alarm, Kind::U8),
    HOST_FIELD(dcData, alert_m_count, Kind::U8),
    HOST_LIST(dcData, alert_m, alert_m_count, Kind::U8, Kept::Head),
    HOST_FIELD(dcData, alert_p_count, Kind::U8),
    HOST_LIST(dcData, alert_p, alert_p_count, Kind::U8, Kept::Head),
    HOST_FIELD(dcData, time, Kind::Time),
};

#undef HOST_LIST
#undef HOST_FIELD

// ---- writing the records ---------------------------------------------------------------------

void append_scalar(std::string &out, const unsigned char *at, Kind kind) {
    switch (kind) {
    case Kind::U8:
        append_unsigned(out, *at);
        return;
    case Kind::U32: {
        uint32_t v;
        std::memcpy(&v, at, sizeof v);
        append_unsigned(out, v);
        return;
    }
    case Kind::F32: {
        float v;
        std::memcpy(&v, at, sizeof v);
        append_real(out, static_cast<double>(v));
        return;
    }
    case Kind::Time: {
        uint8_t record[kTimeRecordSize];
        std::memcpy(record, at, sizeof record);
        append_json_string(out, iso_local_time(time_text(record)));
        return;
    }
    }
}

size_t entries_shown(const Field &f, const unsigned char *record) {
    const size_t capacity = f.size / width(f.kind);
    if (f.kept == Kept::Whole)
        return capacity;
    const size_t count = record[f.count_offset];
    switch (f.kept) {
    case Kept::Head:
        return std::min(count, capacity);
    case Kept::AllOrNone:
        return count <= capacity ? count : 0;
    case Kept::ExactlyFull:
        return count == capacity ? capacity : 0;
    case Kept::Whole:
        break;
    }
    return capacity;
}

void append_value(std::string &out, const Field &f, const unsigned char *bytes) {
    if (!f.array)
        return append_scalar(out, bytes + f.offset, f.kind);
    out.push_back('[');
    const size_t shown = entries_shown(f, bytes);
    for (size_t i = 0; i < shown; ++i) {
        if (i > 0)
            out.push_back(',');
        append_scalar(out, bytes + f.offset + i * width(f.kind), f.kind);
    }
    out.push_back(']');
}

// A field with its key as the object writes it ("name":).
struct Keyed {
    const Field *field;
    std::string key;
};

std::string key_text(const char *name) {
    std::string key;
    append_json_string(key, name);
    key.push_back(':');
    return key;
}

// A table's fields in the order of their names, as a JSON object orders its members; worked out
// once per table.
template <const auto &Table> const auto &by_name() {
    static const auto order = [] {
        std::array<Keyed, std::size(Table)> o{};
        for (size_t i = 0; i < o.size(); ++i)
            o[i] = {&Table[i], key_text(Table[i].name)};
        std::sort(o.begin(), o.end(), [](const Keyed &x, const Keyed &y) {
            return std::strcmp(x.field->name, y.field->name) < 0;
        });
        return o;
    }();
    return order;
}

// One object: the writer's own members (`parts`, in key order, each with `key` and `name`) and
// the members given beside them (`extras`, in key order, one per key), merged in key order; an
// extra with a part's key takes the part's place.
template <class Parts, class WritePart>
void append_merged(std::string &out, const Parts &parts,
                   const std::vector<const JsonMember *> &extras, WritePart write_part) {
    out.push_back('{');
    bool first = true;
    auto separate = [&] {
        if (!first)
            out.push_back(',');
        first = false;
    };
    auto write_extra = [&](const JsonMember &m) {
        separate();
        append_json_string(out, m.key);
        out.push_back(':');
        out.append(m.value);
    };
    auto extra = extras.begin();
    for (const auto &part : parts) {
        const char *name = part_name(part);
        int order = -1;
        for (; extra != extras.end() && (order = (*extra)->key.compare(name)) < 0; ++extra)
            write_extra(**extra);
        if (extra != extras.end() && order == 0) {
            write_extra(**extra++);
            continue;
        }
        separate();
        write_part(part);
    }
    for (; extra != extras.end(); ++extra)
        write_extra(**extra);
    out.push_back('}');
}

// Members in key order, of a key given twice the later: as a value would hold them.
std::vector<const JsonMember *> in_key_order(const JsonMembers &members) {
    std::vector<const JsonMember *> order;
    order.reserve(members.size());
    for (const JsonMember &m : members)
        order.push_back(&m);
    std::stable_sort(order.begin(), order.end(),
                     [](const JsonMember *x, const JsonMember *y) { return x->key < y->key; });
    std::vector<const JsonMember *> unique;
    unique.reserve(order.size());
    for (size_t i = 0; i < order.size(); ++i)
        if (i + 1 == order.size() || order[i + 1]->key != order[i]->key)
            unique.push_back(order[i]);
    return unique;
}

const char *part_name(const Keyed &k) {
    return k.field->name;
}

template <const auto &Table, class Record>
void append_record(std::string &out, const Record &r, const JsonMembers &extras = {}) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&r);
    append_merged(out, by_name<Table>(), in_key_order(extras), [&](const Keyed &k) {
        out.append(k.key);
        append_value(out, *k.field, bytes);
    });
}

// ---- reading the block ---------------------------------------------------------------------

// A module's record with its state read out beside the bytes it comes from (names in order).
void append_module(std::string &out, const mpx23_rc_channel &m) {
    const ModuleState state = module_state(m);
    std::string charge;
    append_json_string(charge, state.charge);
    const auto flag = [](bool on) { return std::string(on ? "true" : "false"); };
    const JsonMembers extras = {{"charge", charge},
                                {"current_limited", flag(state.current_limited)},
                                {"failed", flag(state.failed)},
                                {"on", flag(state.on)}};
    append_record<kRcChannelFields>(out, m, extras);
}

} // namespace

namespace {

void append_hex(std::string &out, const unsigned char *data, size_t len) {
    static const char digits[] = "0123456789ABCDEF";
    const size_t at = out.size();
    out.resize(at + 2 * len);
    char *p = &out[at];
    for (size_t i = 0; i < len; ++i) {
        *p++ = digits[data[i] >> 4];
        *p++ = digits[data[i] & 0x0F];
    }
}

} // namespace

std::string hex(const unsigned char *data, size_t len) {
    std::string out;
    append_hex(out, data, len);
    return out;
}

namespace {

template <class Number> std::string number_text(Number n) {
    std::string out;
    if constexpr (std::is_signed_v<Number>)
        append_integer(out, n);
    else
        append_unsigned(out, n);
    return out;
}

} // namespace

namespace {

// What a block's document is written from.
struct BlockSource {
    uint32_t data_id;
    const DecodedBlock &block;
    const unsigned char *data;
    size_t len;
};

// The block's own members, in key order.
struct BlockPart {
    const char *name;
    void (*append)(std::string &out, const BlockSource &s);
};

const char *part_name(const BlockPart &p) {
    return p.name;
}

template <class Record, class Append>
void append_list(std::string &out, const std::vector<Record> &list, Append append) {
    out.push_back('[');
    for (size_t i = 0; i < list.size(); ++i) {
        if (i > 0)
            out.push_back(',');
        append(out, list[i]);
    }
    out.push_back(']');
}

// The settings the block holds, by the names they are set by, rounded to the device's precision
// and written as every real is: {"equalise-voltage":56.4,"float-voltage":53.5}.
void append_setpoints(std::string &out, const DecodedBlock &block) {
    auto setpoints = block_setpoints(block);
    std::sort(setpoints.begin(), setpoints.end(),
              [](const auto &a, const auto &b) { return std::strcmp(a.first, b.first) < 0; });
    out.push_back('{');
    for (const auto &[name, value] : setpoints) {
        if (out.back() != '{')
            out.push_back(',');
        append_json_string(out, name);
        out.push_back(':');
        append_real(out, std::stod(*setpoint_text(name, value)));
    }
    out.push_back('}');
}

const BlockPart kBlockParts[] = {
    {"acData",
     [](std::string &out, const BlockSource &s) { append_record<kAcFields>(out, s.block.ac); }},
    {"ac_channels",
     [](std::string &out, const BlockSource &s) {
         append_list(out, s.block.inputs, [](std::string &o, const mpx23_ac_channel &c) {
             append_record<kAcChannelFields>(o, c);
         });
     }},
    {"block",
     [](std::string &out, const BlockSource &s) {
         out.push_back('"');
         append_hex(out, s.data, s.len);
         out.push_back('"');
     }},
    {"data_id", [](std::string &out, const BlockSource &s) { append_unsigned(out, s.data_id); }},
    {"dcData",
     [](std::string &out, const BlockSource &s) { append_record<kDcFields>(out, s.block.dc); }},
    {"param47_a",
     [](std::string &out, const BlockSource &s) { append_unsigned(out, s.block.param47_a); }},
    {"param47_b",
     [](std::string &out, const BlockSource &s) { append_unsigned(out, s.block.param47_b); }},
    {"rcData",
     [](std::string &out, const BlockSource &s) { append_record<kRcFields>(out, s.block.rc); }},
    {"rc_channels",
     [](std::string &out, const BlockSource &s) {
         append_list(out, s.block.modules,
                     [](std::string &o, const mpx23_rc_channel &m) { append_module(o, m); });
     }},
    {"setpoints", [](std::string &out, const BlockSource &s) { append_setpoints(out, s.block); }},
    {"time",
     [](std::string &out, const BlockSource &s) {
         append_json_string(out, iso_local_time(time_text(s.block.dc.time)));
     }},
};

// The block's members but its bytes, worked out once.
const std::vector<BlockPart> &parts_without_hex() {
    static const std::vector<BlockPart> parts = [] {
        std::vector<BlockPart> p;
        std::copy_if(std::begin(kBlockParts), std::end(kBlockParts), std::back_inserter(p),
                     [](const BlockPart &part) { return std::strcmp(part.name, "block") != 0; });
        return p;
    }();
    return parts;
}

} // namespace

std::string block_document(uint32_t data_id, const DecodedBlock &block, const unsigned char *data,
                           size_t len, const JsonMembers &extras, BlockHex hex) {
    const BlockSource source{data_id, block, data, len};
    std::string out;
    // The hex of the bytes, and about 300 bytes a record beside it.
    out.reserve((hex == BlockHex::With ? 2 * len : 0) +
                300 * (4 + block.modules.size() + block.inputs.size()));
    const auto write_part = [&](const BlockPart &part) {
        append_json_string(out, part.name);
        out.push_back(':');
        part.append(out, source);
    };
    if (hex == BlockHex::With)
        append_merged(out, kBlockParts, in_key_order(extras), write_part);
    else
        append_merged(out, parts_without_hex(), in_key_order(extras), write_part);
    return out;
}

JsonMember poll_member(const RoundCompleted &round) {
    std::string poll = "{\"commands\":" + number_text(round.cost.commands) + ",\"elapsed_ms\":";
    append_real(poll, round.cost.elapsed_ms);
    poll += ",\"received_bytes\":" + number_text(round.cost.received_bytes) +
            ",\"round\":" + number_text(round.cost.round) +
            ",\"sent_bytes\":" + number_text(round.cost.sent_bytes) + "}";
    return {"poll", poll};
}

const JsonMember &units_member() {
    static const JsonMember units = [] {
        std::map<std::string, JsonMembers> by_record;
        for (size_t i = 0; i < kRecordUnitCount; ++i)
            by_record[kRecordUnits[i].record].push_back(
                {kRecordUnits[i].field, json_string(kRecordUnits[i].unit)});
        JsonMembers records;
        for (const auto &[record, fields] : by_record)
            records.push_back({record, object_of(fields)});
        return JsonMember{"units", object_of(records)};
    }();
    return units;
}

std::string round_text(const RoundCompleted &round, const DecodedBlock &block) {
    return block_document(round.data_id, block, round.block, round.length, {poll_member(round)});
}

} // namespace host
