#include "host/mqtt/mqtt_discovery.h"

#include "host/block/block_fields.h"
#include "host/common/catalogue.h"
#include "host/json/json_writer.h"

#include <algorithm>
#include <cctype>
#include <cmath>

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

std::string text(const std::string &value) {
    return json_string(value);
}

// What the hub needs to find an entity, its device and when it is available: an entity's
// members, to which each kind adds its own before it is written.
class EntityMaker {
public:
    EntityMaker(const DiscoveryDevice &d, const DiscoveryShape &shape)
        : d(d), node(discovery_node(d.host_prefix, d.data_id)),
          device_topic(d.host_prefix + "/" + std::to_string(d.data_id) + "/"),
          device(device_json(shape)) {}

    // The host's status alone: for the connectivity sensor, which would otherwise be
    // unavailable exactly when it has something to say.
    JsonMembers entity(const std::string &object, const std::string &title,
                       bool host_only = false) const {
        std::string availability = "[" + topic_object(d.host_prefix + "/status");
        if (!host_only)
            availability += "," + topic_object(device_topic + "availability");
        availability += "]";
        JsonMembers e = {{"name", text(title)},
                         {"unique_id", text(node + "_" + object)},
                         {"device", device},
                         {"availability", availability}};
        if (!host_only)
            e.push_back({"availability_mode", text("all")});
        return e;
    }

    RetainedMessage message(const char *component, const std::string &object,
                            const JsonMembers &config) const {
        return {d.discovery_prefix + "/" + component + "/" + node + "/" + object + "/config",
                object_of(config)};
    }

    std::string topic(const char *leaf) const { return device_topic + leaf; }

private:
    static std::string topic_object(const std::string &topic) {
        return object_of({{"topic", text(topic)}});
    }

    // Unnamed, a device is told apart from those of other sites by the host's prefix.
    std::string device_json(const DiscoveryShape &shape) const {
        JsonMembers device = {
            {"identifiers", "[" + text(node) + "]"},
            {"manufacturer", text("mpx23")},
            {"model", text(model_text(shape))},
            {"name", text(d.name.empty() ? "Power system " + std::to_string(d.data_id) + " (" +
                                               d.host_prefix + ")"
                                         : d.name)}};
        if (!d.version.empty())
            device.push_back({"sw_version", text(d.version)});
        if (!d.page.empty())
            device.push_back({"configuration_url", text(d.page)});
        return object_of(device);
    }

    // What the newest block tells of the plant: "48 V DC power system, 3 rectifier modules".
    static std::string model_text(const DiscoveryShape &shape) {
        std::string model = "48 V DC power system";
        if (shape.modules > 0)
            model += ", " + std::to_string(shape.modules) + " rectifier modules";
        if (shape.inputs > 0)
            model += ", " + std::to_string(shape.inputs) + " AC inputs";
        return model;
    }

    const DiscoveryDevice &d;
    std::string node;
    std::string device_topic;
    std::string device; // written once: every entity of the device names it alike
};

void add_sensors(const EntityMaker &make, const DiscoveryShape &shape, unsigned expire_after,
                 std::vector<RetainedMessage> &out) {
    for (const SensorRow &row : kSensors) {
        const size_t count = row.count ? shape.*row.count : 1;
        for (size_t n = 1; n <= count; ++n) {
            const std::string object = numbered(row.object, n);
            JsonMembers e = make.entity(object, numbered(row.title, n));
            e.push_back({"state_topic", text(make.topic("state"))});
            e.push_back({"value_template", text("{{ value_json." + numbered(row.path, n) + " }}")});
            e.push_back({"device_class", text(unit_of(row.quantity).device_class)});
            e.push_back({"unit_of_measurement", text(unit_of(row.quantity).unit)});
            e.push_back({"state_class", text("measurement")});
            if (expire_after > 0)
                e.push_back({"expire_after", std::to_string(expire_after)});
            out.push_back(make.message("sensor", object, e));
        }
    }
}

// A module's fault as the state reads it out ("failed"): a problem the hub shows beside the
// alarms, and as stale as the state when states stop coming.
void add_module_faults(const EntityMaker &make, const DiscoveryShape &shape, unsigned expire_after,
                       std::vector<RetainedMessage> &out) {
    for (size_t n = 1; n <= shape.modules; ++n) {
        const std::string object = numbered("module{N}_fault", n);
        JsonMembers e = make.entity(object, numbered("Module {N} fault", n));
        e.push_back({"state_topic", text(make.topic("state"))});
        e.push_back(
            {"value_template",
             text(numbered("{{ 'ON' if value_json.rc_channels[{I}].failed else 'OFF' }}", n))});
        e.push_back({"device_class", text("problem")});
        if (expire_after > 0)
            e.push_back({"expire_after", std::to_string(expire_after)});
        out.push_back(make.message("binary_sensor", object, e));
    }
}

void add_binary_sensors(const EntityMaker &make, std::vector<RetainedMessage> &out) {
    for (const catalogue::Alarm &a : catalogue::kAlarms) {
        const std::string object = "alarm_" + std::string(a.signal.id);
        JsonMembers e = make.entity(object, a.name);
        e.push_back({"state_topic", text(make.topic("alarms"))});
        e.push_back({"value_template",
                     text(std::string("{{ 'ON' if value_json.active | selectattr('signal_id', "
                                      "'equalto', '") +
                          a.signal.id + "') | list else 'OFF' }}")});
        e.push_back({"device_class", text("problem")});
        out.push_back(make.message("binary_sensor", object, e));
    }
    JsonMembers link = make.entity("connectivity", "Communication", true);
    link.push_back({"state_topic", text(make.topic("availability"))});
    link.push_back({"payload_on", text("online")});
    link.push_back({"payload_off", text("offline")});
    link.push_back({"device_class", text("connectivity")});
    link.push_back({"entity_category", text("diagnostic")});
    out.push_back(make.message("binary_sensor", "connectivity", link));
}

std::string capitalised(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

// Each parameter within its plausible range: the hub cannot send what would need "force". A
// setting the block reads back is shown as the state has it, else as last sent. A hub sends the
// same payload every time: it carries no "id", and the host gives each request one of its own.
void add_numbers(const EntityMaker &make, std::vector<RetainedMessage> &out) {
    for (const catalogue::Parameter &p : catalogue::kParameters) {
        const std::string object = object_name(p.name);
        JsonMembers e = make.entity(object, capitalised(p.title));
        e.push_back({"entity_category", text("config")});
        e.push_back({"command_topic", text(make.topic("set"))});
        e.push_back({"command_template", text(std::string("{\"signal_id\": \"") + p.name +
                                              "\", \"SetValue\": {{ value }}}")});
        if (setpoint_named(p.name)) {
            e.push_back({"state_topic", text(make.topic("state"))});
            e.push_back({"value_template",
                         text(std::string("{{ value_json.setpoints['") + p.name + "'] }}")});
        }
        e.push_back({"min", json_real(p.low)});
        e.push_back({"max", json_real(p.high)});
        e.push_back({"step", json_real(0.01)});
        e.push_back({"mode", text("box")});
        e.push_back({"unit_of_measurement", text(p.unit)});
        if (p.unit == std::string(unit_of(Quantity::Voltage).unit))
            e.push_back({"device_class", text(unit_of(Quantity::Voltage).device_class)});
        out.push_back(make.message("number", object, e));
    }
}

JsonMembers button(const EntityMaker &make, const std::string &object, const std::string &title,
                   const std::string &request) {
    JsonMembers e = make.entity(object, title);
    e.push_back({"entity_category", text("config")});
    e.push_back({"command_topic", text(make.topic("control"))});
    e.push_back({"payload_press", text("{\"request\": \"" + request + "\"}")});
    return e;
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

// Three heartbeats and a round: a state or two late (a busy line, a slow broker) blanks no
// sensor. States come with rounds only, so a heartbeat shorter than the interval is one round.
unsigned sensor_expiry(double heartbeat, double interval) {
    if (heartbeat <= 0.0)
        return 0;
    return static_cast<unsigned>(std::ceil(3.0 * std::max(heartbeat, interval) + interval));
}

const std::vector<DiscoveryUnit> &discovery_units() {
    return kUnits;
}

std::vector<RetainedMessage> discovery_messages(const DiscoveryDevice &device,
                                                const DiscoveryShape &shape) {
    const EntityMaker make(device, shape);
    std::vector<RetainedMessage> out;
    add_sensors(make, shape, device.expire_after, out);
    add_binary_sensors(make, out);
    add_module_faults(make, shape, device.expire_after, out);
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
