#include "host/program/listing.h"

#include "host/block/block_fields.h"
#include "host/common/catalogue.h"
#include "host/core/named_requests.h"
#include "host/json/json_writer.h"

#include <cstdio>

namespace host {
namespace {

std::string text(const char *value) {
    return json_string(value);
}

std::string driver_value_json(const catalogue::DriverValue &v) {
    return object_of({{"name", text(v.name)},
                      {"source", text("driver")},
                      {"title", text(v.title)},
                      {"unit", text(v.unit)}});
}

std::string block_field_json(const BlockField &f) {
    JsonMembers out = {{"name", text(f.name)},
                       {"title", text(f.title)},
                       {"unit", text(f.unit)},
                       {"source", text("block")},
                       {"location", text(f.location)}};
    if (indexed(f)) {
        out.push_back({"count", text(f.count)}); // N runs from 1 to this
        if (f.capacity)
            out.push_back({"capacity", std::to_string(f.capacity)});
    }
    if (const catalogue::Parameter *p = catalogue::parameter_named(f.name)) { // a setting
        out.push_back({"low", json_real(p->low)});
        out.push_back({"high", json_real(p->high)});
    }
    return object_of(out);
}

// Where a setting reads back in the block document; nullptr when the block does not hold it.
const char *read_back(const catalogue::Parameter &p) {
    size_t n = 0;
    const BlockField *f = setpoint_named(p.name) ? find_block_field(p.name, n) : nullptr;
    return f ? f->location : nullptr;
}

std::string range_text(const catalogue::Parameter &p) {
    return shortest_number(p.low) + " to " + shortest_number(p.high) + " " + p.unit;
}

std::string parameter_json(const catalogue::Parameter &p) {
    const char *location = read_back(p);
    return object_of({{"name", text(p.name)},
                      {"signal_id", text(p.signal_id)},
                      {"title", text(p.title)},
                      {"unit", text(p.unit)},
                      {"low", json_real(p.low)},
                      {"high", json_real(p.high)},
                      {"read_back", location ? text(location) : "null"}});
}

std::string control_json(const catalogue::Control &c) {
    return object_of({{"name", text(c.name)},
                      {"command_id", text(c.command_id)},
                      {"title", text(c.title)},
                      {"takes_module", c.takes_module ? "true" : "false"}});
}

std::string alarm_json_row(const catalogue::Alarm &a) {
    const std::string limit = object_of({{"fixed", a.limit.fixed ? "true" : "false"},
                                         {"at_50hz", json_real(a.limit.at_50hz)},
                                         {"at_60hz", json_real(a.limit.at_60hz)},
                                         {"unit", text(a.limit.unit)}});
    return object_of({{"signal_id", text(a.signal.id)},
                      {"name", text(a.name)},
                      {"text", text(a.signal.text)},
                      {"limit", limit}});
}

// A list of the written objects.
template <class Items, class Write> std::string list_of(const Items &items, Write write) {
    std::string out = "[";
    for (const auto &item : items)
        out += (out.size() > 1 ? "," : "") + write(item);
    return out + "]";
}

std::string padded(std::string text, size_t width) {
    return text.size() < width ? text + std::string(width - text.size(), ' ') : text + ' ';
}

std::string default_limit_text(const catalogue::Alarm &a) {
    std::string text = catalogue::limit_text(a);
    if (a.limit.at_60hz != a.limit.at_50hz)
        text += " (" + catalogue::limit_text(a, 60) + " at 60 Hz)";
    return text + (a.limit.fixed ? ", the driver's own" : ", unless configured");
}

std::string values_table() {
    std::string out = "Values (--get NAME; N from 1):\n";
    for (const auto &v : catalogue::kDriverValues)
        out += "  " + padded(v.name, 22) + padded(v.unit, 6) + padded("asked of the driver", 28) +
               v.title + "\n";
    for (size_t i = 0; i < kBlockFieldCount; ++i) {
        const BlockField &f = kBlockFields[i];
        std::string title = f.title;
        if (indexed(f))
            title += std::string(" (N up to ") + f.count + ")";
        if (const catalogue::Parameter *p = catalogue::parameter_named(f.name))
            title += " (--set: " + range_text(*p) + ")";
        out +=
            "  " + padded(f.name, 22) + padded(f.unit, 6) + padded(f.location, 28) + title + "\n";
    }
    return out;
}

std::string requests_table() {
    std::string out = "\nParameters (--set NAME=VALUE; outside the range only with --force):\n";
    for (const auto &p : catalogue::kParameters)
        out += "  " + padded(p.name, 26) + padded(p.signal_id, 14) + padded(range_text(p), 20) +
               p.title + (read_back(p) ? "" : " (not read back)") + "\n";
    out += "\nRemote controls (--control NAME[:N]; N the module, 0 every module):\n";
    for (const auto &c : catalogue::kControls)
        out += "  " + padded(std::string(c.name) + (c.takes_module ? ":N" : ""), 26) +
               padded(c.command_id, 14) + c.title +
               (c.takes_module ? "" : " (every module unless :N)") + "\n";
    out += "  module-off:0 switches every module off: only with --all-modules\n";
    return out;
}

std::string alarms_table() {
    std::string out = "\nAlarms:\n";
    for (const auto &a : catalogue::kAlarms)
        out += "  " + padded(a.signal.id, 14) + padded(a.name, 26) + default_limit_text(a) + "\n" +
               std::string(16, ' ') + a.signal.text + "\n";
    out += "  host.moduleN.fault  Rectifier module N fault, the host's own: while the module "
           "reports a fault\n";
    return out;
}

} // namespace

std::string listing_json() {
    std::string values = "[";
    for (const auto &v : catalogue::kDriverValues)
        values += (values.size() > 1 ? "," : "") + driver_value_json(v);
    for (size_t i = 0; i < kBlockFieldCount; ++i)
        values += (values.size() > 1 ? "," : "") + block_field_json(kBlockFields[i]);
    values += "]";
    return object_of({{"values", values},
                      {"parameters", list_of(catalogue::kParameters, parameter_json)},
                      {"controls", list_of(catalogue::kControls, control_json)},
                      {"alarms", list_of(catalogue::kAlarms, alarm_json_row)}});
}

std::string listing_table() {
    return values_table() + requests_table() + alarms_table();
}

} // namespace host
