#include "host/outputs/mqtt_discovery.h"

#include "host/common/catalogue.h"

#include <algorithm>
#include <cctype>

namespace host {
namespace {

enum class Quantity { Voltage, Current, Frequency };

// In the order of Quantity.
const std::vector<DiscoveryUnit> kUnits = {
    {"voltage", "V"},
    {"current", "A"},
    {"frequency", "Hz"},
};

const DiscoveryUnit &unit_of(Quantity q) {
    return kUnits[static_cast<size_t>(q)];
}

// A sensor of the state document. In `object`, `title` and `path`, "{N}" stands for the record's
// number from 1 and "{I}" for its index from 0; `count` says how many records there are (nullptr:
// one sensor).
struct SensorRow {
    const char *object;
    const char *title;
    const char *path;
    Quantity quantity;
    size_t DiscoveryShape::*count;
};

const SensorRow kSensors[] = {
    {"dc_voltage", "DC voltage", "dcData.voltage", Quantity::Voltage, nullptr},
    {"load_current", "Load current", "dcData.load_current", Quantity::Current, nullptr},
    {"battery{N}_current", "Battery group {N} current", "dcData.m_values[{I}]", Quantity::Current,
     &DiscoveryShape::batteries},
    {"ac{N}_ua", "AC input {N} phase A voltage", "ac_channels[{I}].ua", Quantity::Voltage,
     &DiscoveryShape::inputs},
    {"ac{N}_ub", "AC input {N} phase B voltage", "ac_channels[{I}].ub", Quantity::Voltage,
     &DiscoveryShape::inputs},
    {"ac{N}_uc", "AC input {N} phase C voltage", "ac_channels[{I}].uc", Quantity::Voltage,
     &DiscoveryShape::inputs},
    {"ac{N}_frequency", "AC input {N} frequency", "ac_channels[{I}].f", Quantity::Frequency,
     &DiscoveryShape::inputs},
    {"module{N}_current", "Module {N} current", "rc_channels[{I}].out_i", Quantity::Current,
     &DiscoveryShape::modules},
};

std::string replaced_all(std::string text, const std::string &what, const std::string &by) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + by.size()))
        text.replace(at, what.size(), by);
    return text;
}

std::string numbered(const char *pattern, size_t n) {
    return replaced_all(replaced_all(pattern, "{N}", std::to_string(n)), "{I}",
                        std::to_string(n - 1));
}

std::string object_name(std::string text) {
    std::replace(text.begin(), text.end(), '-', '_');
    return text;
}

// What the hub needs to find an entity, its device and when it is available.
class EntityMaker {
public:
    explicit EntityMaker(const DiscoveryDevice &d)
        : d(d), node(discovery_node(d.host_prefix, d.data_id)),
          device_topic(d.host_prefix + "/" + std::to_string(d.data_id) + "/") {}

    // The host's status alone: for the connectivity sensor, which would otherwise be
    // unavailable exactly when it has something to say.
    Json::Value entity(const std::string &object, const std::string &title,
                       bool host_only = false) const {
        Json::Value e;
        e["name"] = title;
        e["unique_id"] = node + "_" + object;
        e["device"] = device_json();
        e["availability"].append(availability(d.host_prefix + "/status"));
        if (!host_only) {
            e["availability"].append(availability(device_topic + "availability"));
            e["availability_mode"] = "all";
        }
        return e;
    }

    RetainedMessage message(const char *component, const std::string &object,
                            const Json::Value &config) const {
        return {d.discovery_prefix + "/" + component + "/" + node + "/" + object + "/config",
                json_line(config)};
    }

    std::string topic(const char *leaf) const { return device_topic + leaf; }

private:
    static Json::Value availability(const std::string &topic) {
        Json::Value a;
        a["topic"] = topic;
        return a;
    }

    Json::Value device_json() const {
        Json::Value dev;
        dev["identifiers"].append(node);
        dev["name"] = d.name.empty() ? "Power system " + std::to_string(d.data_id) : d.name;
        dev["model"] = "mpx23 power system";
        return dev;
    }

    const DiscoveryDevice &d;
    std::string node;
    std::string device_topic;
};

void add_sensors(const EntityMaker &make, const DiscoveryShape &shape,
                 std::vector<RetainedMessage> &out) {
    for (const SensorRow &row : kSensors) {
        const size_t count = row.count ? shape.*row.count : 1;
        for (size_t n = 1; n <= count; ++n) {
            const std::string object = numbered(row.object, n);
            Json::Value e = make.entity(object, numbered(row.title, n));
            e["state_topic"] = make.topic("state");
            e["value_template"] = "{{ value_json." + numbered(row.path, n) + " }}";
            e["device_class"] = unit_of(row.quantity).device_class;
            e["unit_of_measurement"] = unit_of(row.quantity).unit;
            e["state_class"] = "measurement";
            out.push_back(make.message("sensor", object, e));
        }
    }
}

void add_binary_sensors(const EntityMaker &make, std::vector<RetainedMessage> &out) {
    for (const catalogue::Alarm &a : catalogue::kAlarms) {
        const std::string object = "alarm_" + std::string(a.signal.id);
        Json::Value e = make.entity(object, a.name);
        e["state_topic"] = make.topic("alarms");
        e["value_template"] = std::string("{{ 'ON' if value_json.active | selectattr('signal_id', "
                                          "'equalto', '") +
                              a.signal.id + "') | list else 'OFF' }}";
        e["device_class"] = "problem";
        out.push_back(make.message("binary_sensor", object, e));
    }
    Json::Value link = make.entity("connectivity", "Communication", true);
    link["state_topic"] = make.topic("availability");
    link["payload_on"] = "online";
    link["payload_off"] = "offline";
    link["device_class"] = "connectivity";
    link["entity_category"] = "diagnostic";
    out.push_back(make.message("binary_sensor", "connectivity", link));
}

// Each parameter within its plausible range: the hub cannot send what would need "force".
void add_numbers(const EntityMaker &make, std::vector<RetainedMessage> &out) {
    for (const catalogue::Parameter &p : catalogue::kParameters) {
        const std::string object = object_name(p.name);
        Json::Value e = make.entity(object, p.title);
        e["command_topic"] = make.topic("set");
        e["command_template"] = std::string("{\"id\": \"hub-") + p.name + "\", \"signal_id\": \"" +
                                p.name + "\", \"SetValue\": {{ value }}}";
        e["min"] = p.low;
        e["max"] = p.high;
        e["step"] = 0.01;
        e["mode"] = "box";
        e["unit_of_measurement"] = p.unit;
        if (p.unit == std::string(unit_of(Quantity::Voltage).unit))
            e["device_class"] = unit_of(Quantity::Voltage).device_class;
        out.push_back(make.message("number", object, e));
    }
}

Json::Value button(const EntityMaker &make, const std::string &object, const std::string &title,
                   const std::string &request) {
    Json::Value e = make.entity(object, title);
    e["command_topic"] = make.topic("control");
    e["payload_press"] = "{\"id\": \"hub-" + request + "\", \"request\": \"" + request + "\"}";
    return e;
}

std::string capitalised(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

// A module control per module, each addressed to one module; never to module 0, which would
// switch every module off at one press.
void add_buttons(const EntityMaker &make, const DiscoveryShape &shape,
                 std::vector<RetainedMessage> &out) {
    for (const catalogue::Control &c : catalogue::kControls) {
        if (!c.takes_module) {
            const std::string object = object_name(c.name);
            out.push_back(
                make.message("button", object, button(make, object, capitalised(c.title), c.name)));
            continue;
        }
        // "module-on" makes "module1_on", "Module 1 on".
        const std::string name = c.name, head = "module-";
        const std::string what = name.rfind(head, 0) == 0 ? name.substr(head.size()) : name;
        for (size_t n = 1; n <= shape.modules; ++n) {
            const std::string object = "module" + std::to_string(n) + "_" + object_name(what);
            const std::string title = "Module " + std::to_string(n) + " " + what;
            out.push_back(make.message(
                "button", object, button(make, object, title, c.name + (":" + std::to_string(n)))));
        }
    }
}

} // namespace

DiscoveryShape discovery_shape(const DecodedBlock &block) {
    DiscoveryShape shape;
    shape.modules = block.modules.size();
    shape.inputs = block.inputs.size();
    shape.batteries = std::min<size_t>(block.dc.m_count, DcSizes::M_SIZE());
    return shape;
}

const std::vector<DiscoveryUnit> &discovery_units() {
    return kUnits;
}

std::vector<RetainedMessage> discovery_messages(const DiscoveryDevice &device,
                                                const DiscoveryShape &shape) {
    const EntityMaker make(device);
    std::vector<RetainedMessage> out;
    add_sensors(make, shape, out);
    add_binary_sensors(make, out);
    if (device.control) {
        add_numbers(make, out);
        add_buttons(make, shape, out);
    }
    return out;
}

std::string discovery_node(const std::string &host_prefix, uint32_t data_id) {
    std::string node = host_prefix + "_" + std::to_string(data_id);
    for (char &c : node)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
            c = '_';
    return node;
}

std::string discovery_filter(const DiscoveryDevice &device) {
    return device.discovery_prefix + "/+/" + discovery_node(device.host_prefix, device.data_id) +
           "/+/config";
}

} // namespace host
