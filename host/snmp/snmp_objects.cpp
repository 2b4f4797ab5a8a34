#include "host/snmp/snmp_objects.h"

#include "host/block/block_fields.h"
#include "host/common/catalogue.h"
#include "host/common/plain_text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

namespace host {

// RFC 5612's number, reserved for documentation, until the project has its own.
const Oid kMpx23Mib = {1, 3, 6, 1, 4, 1, 32473};

namespace {

using Value = std::optional<SnmpValue>;

Oid under(const Oid &base, std::initializer_list<uint32_t> arcs) {
    Oid oid = base;
    oid.insert(oid.end(), arcs);
    return oid;
}

// The arcs of the module below its root.
constexpr uint32_t kNotifications = 0, kObjects = 1;
enum Table : uint32_t {
    kHost = 1,
    kPlants = 2,
    kBatteries = 3,
    kAcInputs = 4,
    kModules = 5,
    kBranches = 6,
    kAlarms = 7,
    kSetpoints = 8,
    kNotifyObjects = 9,
};
enum Notification : uint32_t {
    kAlarmRaised = 1,
    kAlarmCleared = 2,
    kCommunicationLost = 3,
    kCommunicationReestablished = 4,
    kPlantChanged = 5,
};

SnmpValue number(SnmpValue::Type type, int64_t n) {
    return {type, n, ""};
}
SnmpValue integer(int64_t n) {
    return number(SnmpValue::Type::Integer, n);
}
// A count or a number of seconds, held at the largest Unsigned32 rather than wrapped.
SnmpValue bounded(SnmpValue::Type type, uint64_t n) {
    return number(type, static_cast<int64_t>(std::min<uint64_t>(n, UINT32_MAX)));
}
SnmpValue unsigned32(uint64_t n) {
    return bounded(SnmpValue::Type::Unsigned, n);
}
SnmpValue gauge(uint64_t n) {
    return bounded(SnmpValue::Type::Gauge, n);
}
SnmpValue text(const std::string &t) {
    return {SnmpValue::Type::Text, 0, t};
}
// TruthValue: true(1), false(2).
SnmpValue truth(bool b) {
    return integer(b ? 1 : 2);
}

// A reading in steps of 1/per of its unit; none when it is not a number or past Integer32.
Value scaled(double reading, double per) {
    const double steps = std::round(reading * per);
    if (!std::isfinite(steps) || std::fabs(steps) > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return integer(static_cast<int64_t>(steps));
}
Value seconds(double epoch) {
    return unsigned32(epoch > 0 ? static_cast<uint64_t>(epoch) : 0);
}

class Builder {
public:
    explicit Builder(std::vector<SnmpObject> &out) : out(out) {}
    void add(const Oid &object, std::initializer_list<uint32_t> index, const Value &value) {
        if (!value)
            return;
        Oid oid = object;
        oid.insert(oid.end(), index);
        out.push_back({std::move(oid), object.size(), *value});
    }

private:
    std::vector<SnmpObject> &out;
};

Oid column(Table table, uint32_t number) {
    return under(kMpx23Mib, {kObjects, table, 1, number});
}

// A reading of the block by the name `mpx23-host list` gives it (the block's own fields read it
// and count its entries), in steps of 1/per of its unit: the name each object's description in
// the MIB cites.
struct Reading {
    uint32_t column;
    const char *field;
    double per;
};

const BlockField &block_field(const char *name) {
    return *std::find_if(kBlockFields, kBlockFields + kBlockFieldCount,
                         [name](const BlockField &f) { return std::strcmp(f.name, name) == 0; });
}

Value read(const Reading &r, const DecodedBlock &block, size_t index) {
    return scaled(block_field(r.field).read(block, index), r.per);
}

struct PlantRow {
    const DeviceState &state;
    const SnmpPlant &plant;
    const DecodedBlock *block; // while communication is up
};

struct PlantColumn {
    uint32_t number;
    Value (*value)(const PlantRow &);
};

const PlantColumn kPlantColumns[] = {
    {2, [](const PlantRow &r) { return Value(text(snmp_utf8(r.state.name))); }},
    {3, [](const PlantRow &r) { return Value(text(r.plant.port)); }},
    {4, [](const PlantRow &r) { return Value(unsigned32(r.plant.address)); }},
    {5, [](const PlantRow &r) { return Value(integer(static_cast<int>(r.state.link) + 1)); }},
    {6, [](const PlantRow &r) { return seconds(r.state.link_since); }},
    {7, [](const PlantRow &r) { return seconds(r.state.last_round); }},
    {14, [](const PlantRow &r) { return Value(gauge(r.state.alarms.size())); }},
    {15,
     [](const PlantRow &r) {
         return Value(bounded(SnmpValue::Type::Counter, r.state.rounds % (1ull << 32)));
     }},
};

// The plant's readings of the last round: none while it is not up.
const Reading kPlantReadings[] = {
    {8, "dc.voltage", 100}, {9, "dc.load_current", 100}, {10, "rc.voltage", 100},
    {11, "ac.ia", 100},     {12, "ac.ib", 100},          {13, "ac.ic", 100},
};

// A table of the plant's equipment, one row per battery group, input, module or branch: the
// entries of its first reading's field.
struct EquipmentTable {
    Table table;
    std::vector<Reading> readings;
};

const EquipmentTable kEquipment[] = {
    {kBatteries, {{2, "batteryN.current", 100}}},
    {kAcInputs, {{2, "acN.ua", 10}, {3, "acN.ub", 10}, {4, "acN.uc", 10}, {5, "acN.f", 100}}},
    {kModules, {{2, "moduleN.current", 100}}},
    {kBranches, {{2, "branchN.current", 100}}},
};

// A module's state as every view reads it: on, charge mode, fault.
void module_states(Builder &add, uint32_t id, const DecodedBlock &block) {
    for (size_t i = 0; i < block.modules.size(); ++i) {
        const ModuleState state = module_state(block.modules[i]);
        const uint32_t n = static_cast<uint32_t>(i + 1);
        // float(1), equalise(2), test(3), unknown(4)
        const char *const modes[] = {"float", "equalise", "test"};
        const auto mode = std::find(std::begin(modes), std::end(modes), state.charge);
        add.add(column(kModules, 3), {id, n}, truth(state.on));
        add.add(column(kModules, 4), {id, n}, integer(mode - std::begin(modes) + 1));
        add.add(column(kModules, 5), {id, n}, truth(state.failed));
    }
}

void host_scalars(Builder &add, const SnmpHost &host) {
    const Oid group = under(kMpx23Mib, {kObjects, kHost});
    add.add(under(group, {1}), {0}, text(host.version));
    add.add(under(group, {2}), {0}, number(SnmpValue::Type::TimeTicks, 0));
    add.add(under(group, {3}), {0}, gauge(host.plants.size()));
}

void plant_rows(Builder &add, const PlantRow &row) {
    const uint32_t id = row.state.data_id;
    for (const PlantColumn &c : kPlantColumns)
        add.add(column(kPlants, c.number), {id}, c.value(row));
    if (row.block) {
        const DecodedBlock &block = *row.block;
        for (const Reading &r : kPlantReadings)
            add.add(column(kPlants, r.column), {id}, read(r, block, 0));
        for (const EquipmentTable &t : kEquipment) {
            const size_t count = block_field(t.readings.front().field).how_many(block);
            for (uint32_t n = 1; n <= count; ++n)
                for (const Reading &r : t.readings)
                    add.add(column(t.table, r.column), {id, n}, read(r, block, n - 1));
        }
        module_states(add, id, block);
        uint32_t n = 0;
        for (const auto &[name, volts] : block_setpoints(block)) {
            ++n;
            add.add(column(kSetpoints, 2), {id, n}, text(name));
            add.add(column(kSetpoints, 3), {id, n}, scaled(volts, 100));
        }
    }
    uint32_t n = 0;
    for (const auto &[signal, alarm] : row.state.alarms) {
        ++n;
        add.add(column(kAlarms, 2), {id, n}, text(signal));
        add.add(column(kAlarms, 3), {id, n}, text(catalogue::alarm_name(signal)));
        add.add(column(kAlarms, 4), {id, n}, text(snmp_utf8(alarm.text)));
        add.add(column(kAlarms, 5), {id, n}, text(alarm.since));
        add.add(column(kAlarms, 6), {id, n}, text(snmp_utf8(alarm.detail)));
    }
}

SnmpNotification notification(uint32_t number, uint32_t data_id, const std::string &id,
                              const std::string &name, const std::string &what,
                              const std::string &value) {
    SnmpNotification n{mpx23_notification(number), {}};
    Builder add(n.varbinds);
    const Oid objects = under(kMpx23Mib, {kObjects, kNotifyObjects});
    add.add(under(objects, {1}), {0}, unsigned32(data_id));
    add.add(under(objects, {2}), {0}, text(id));
    add.add(under(objects, {3}), {0}, text(name));
    add.add(under(objects, {4}), {0}, text(snmp_utf8(what)));
    add.add(under(objects, {5}), {0}, text(snmp_utf8(value)));
    return n;
}

} // namespace

Oid mpx23_objects() {
    return under(kMpx23Mib, {kObjects});
}
Oid mpx23_notification(uint32_t number) {
    return under(kMpx23Mib, {kNotifications, number});
}

std::vector<SnmpObject> snmp_objects(const SiteState &site, const SnmpHost &host) {
    std::vector<SnmpObject> out;
    Builder add(out);
    host_scalars(add, host);
    for (const SnmpPlant &plant : host.plants) {
        const DeviceState *state = site.device(plant.data_id);
        if (!state)
            continue;
        const bool up = state->link == DeviceState::Link::Up && state->block;
        plant_rows(add, {*state, plant, up ? &*state->block : nullptr});
    }
    std::sort(out.begin(), out.end(),
              [](const SnmpObject &a, const SnmpObject &b) { return a.oid < b.oid; });
    return out;
}

SnmpNotification alarm_notification(const AlarmRecord &alarm) {
    return notification(alarm.raised ? kAlarmRaised : kAlarmCleared, alarm.data_id, alarm.signal_id,
                        catalogue::alarm_name(alarm.signal_id), alarm.text, alarm.detail);
}

SnmpNotification communication_notification(const CommunicationChanged &change) {
    return change.lost ? notification(kCommunicationLost, change.data_id, "communication-lost",
                                      "Communication lost", change.cause, "")
                       : notification(kCommunicationReestablished, change.data_id,
                                      "communication-re-established",
                                      "Communication re-established", "", "");
}

SnmpNotification plant_changed_notification(const PlantChanged &change) {
    return notification(kPlantChanged, change.data_id, kPlantChangedSignal,
                        "A different power system", plant_changed_text(change), "");
}

std::string snmp_utf8(const std::string &text) {
    const std::string valid = valid_utf8(text);
    if (valid.size() <= 255)
        return valid;
    size_t end = 255;
    // Back to the first byte of the character that would be cut.
    while (end > 0 && (static_cast<unsigned char>(valid[end]) & 0xC0) == 0x80)
        --end;
    return valid.substr(0, end);
}

} // namespace host
