#include "host/snmp/snmp_objects.h"

#include "host/block/block_fields.h"
#include "host/common/catalogue.h"
#include "host/common/plain_text.h"

#include <algorithm>
#include <cmath>
#include <functional>
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
SnmpValue unsigned32(uint64_t n) {
    return number(SnmpValue::Type::Unsigned,
                  static_cast<int64_t>(std::min<uint64_t>(n, UINT32_MAX)));
}
SnmpValue gauge(uint64_t n) {
    return number(SnmpValue::Type::Gauge, static_cast<int64_t>(std::min<uint64_t>(n, UINT32_MAX)));
}
SnmpValue text(const std::string &t) {
    return {SnmpValue::Type::Text, 0, t};
}
SnmpValue truth(bool b) {
    return integer(b ? 1 : 2);
} // TruthValue: true(1), false(2)

// A reading in steps of 1/per of its unit; none when it is not a number or past Integer32.
Value scaled(double reading, double per) {
    const double steps = std::round(reading * per);
    if (!std::isfinite(steps) || std::fabs(steps) > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return integer(static_cast<int64_t>(steps));
}
Value hundredths(double reading) {
    return scaled(reading, 100.0);
}
Value tenths(double reading) {
    return scaled(reading, 10.0);
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

struct PlantRow {
    const DeviceState &state;
    const SnmpPlant &plant;
    const DecodedBlock *block; // while communication is up
};

struct PlantColumn {
    uint32_t number;
    std::function<Value(const PlantRow &)> value;
};

// A reading of the last round: none while the plant is not up.
template <class Read> std::function<Value(const PlantRow &)> reading(Read read) {
    return [read](const PlantRow &row) { return row.block ? read(*row.block) : std::nullopt; };
}

const PlantColumn kPlantColumns[] = {
    {2, [](const PlantRow &r) { return Value(text(snmp_utf8(r.state.name))); }},
    {3, [](const PlantRow &r) { return Value(text(r.plant.port)); }},
    {4, [](const PlantRow &r) { return Value(unsigned32(r.plant.address)); }},
    {5, [](const PlantRow &r) { return Value(integer(static_cast<int>(r.state.link) + 1)); }},
    {6, [](const PlantRow &r) { return seconds(r.state.link_since); }},
    {7, [](const PlantRow &r) { return seconds(r.state.last_round); }},
    {8, reading([](const DecodedBlock &b) { return hundredths(b.dc.voltage); })},
    {9, reading([](const DecodedBlock &b) { return hundredths(b.dc.load_current); })},
    {10, reading([](const DecodedBlock &b) { return hundredths(b.rc.out_v); })},
    {11, reading([](const DecodedBlock &b) { return hundredths(b.ac.ia); })},
    {12, reading([](const DecodedBlock &b) { return hundredths(b.ac.ib); })},
    {13, reading([](const DecodedBlock &b) { return hundredths(b.ac.ic); })},
    {14, [](const PlantRow &r) { return Value(gauge(r.state.alarms.size())); }},
    {15,
     [](const PlantRow &r) {
         return Value(
             number(SnmpValue::Type::Counter, static_cast<int64_t>(r.state.rounds % (1ull << 32))));
     }},
};

// A table of the plant's equipment, one row per battery group, input, module or branch.
struct EquipmentTable {
    Table table;
    size_t (*count)(const DecodedBlock &);
    std::vector<std::pair<uint32_t, Value (*)(const DecodedBlock &, size_t)>> columns;
};

const ModuleState module_at(const DecodedBlock &b, size_t i) {
    return module_state(b.modules[i]);
}

const EquipmentTable kEquipment[] = {
    {kBatteries,
     [](const DecodedBlock &b) { return std::min<size_t>(b.dc.m_count, DcSizes::M_SIZE()); },
     {{2, [](const DecodedBlock &b, size_t i) { return hundredths(b.dc.m_values[i]); }}}},
    {kAcInputs,
     [](const DecodedBlock &b) { return b.inputs.size(); },
     {{2, [](const DecodedBlock &b, size_t i) { return tenths(b.inputs[i].ua); }},
      {3, [](const DecodedBlock &b, size_t i) { return tenths(b.inputs[i].ub); }},
      {4, [](const DecodedBlock &b, size_t i) { return tenths(b.inputs[i].uc); }},
      {5, [](const DecodedBlock &b, size_t i) { return hundredths(b.inputs[i].f); }}}},
    {kModules,
     [](const DecodedBlock &b) { return b.modules.size(); },
     {{2, [](const DecodedBlock &b, size_t i) { return hundredths(b.modules[i].out_i); }},
      {3, [](const DecodedBlock &b, size_t i) { return Value(truth(module_at(b, i).on)); }},
      {4,
       [](const DecodedBlock &b, size_t i) {
           // float(1), equalise(2), test(3), unknown(4)
           const std::string mode = module_at(b, i).charge;
           const char *const modes[] = {"float", "equalise", "test"};
           const auto found = std::find(std::begin(modes), std::end(modes), mode);
           return Value(integer(found - std::begin(modes) + 1));
       }},
      {5, [](const DecodedBlock &b, size_t i) { return Value(truth(module_at(b, i).failed)); }}}},
    {kBranches,
     [](const DecodedBlock &b) { return std::min<size_t>(b.dc.n_count, DcSizes::N_SIZE()); },
     {{2, [](const DecodedBlock &b, size_t i) { return hundredths(b.dc.n_values[i]); }}}},
};

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
        for (const EquipmentTable &t : kEquipment)
            for (size_t i = 0; i < t.count(*row.block); ++i)
                for (const auto &[number, value] : t.columns)
                    add.add(column(t.table, number), {id, static_cast<uint32_t>(i + 1)},
                            value(*row.block, i));
        uint32_t n = 0;
        for (const auto &[name, volts] : block_setpoints(*row.block)) {
            ++n;
            add.add(column(kSetpoints, 2), {id, n}, text(name));
            add.add(column(kSetpoints, 3), {id, n}, hundredths(volts));
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
Oid snmp_uptime_oid() {
    return under(kMpx23Mib, {kObjects, kHost, 2, 0});
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
