#include "host/program/listing.h"

#include "host/common/catalogue.h"
#include "host/core/named_requests.h"
#include "host/outputs/block_fields.h"

#include <cstdio>

namespace host {
namespace {

Json::Value driver_value_json(const catalogue::DriverValue &v) {
    Json::Value out;
    out["name"] = v.name;
    out["title"] = v.title;
    out["unit"] = v.unit;
    out["source"] = "driver";
    return out;
}

Json::Value block_field_json(const BlockField &f) {
    Json::Value out;
    out["name"] = f.name;
    out["title"] = f.title;
    out["unit"] = f.unit;
    out["source"] = "block";
    out["location"] = f.location;
    if (indexed(f)) {
        out["count"] = f.count; // N runs from 1 to this
        if (f.capacity)
            out["capacity"] = static_cast<Json::UInt>(f.capacity);
    }
    return out;
}

Json::Value parameter_json(const catalogue::Parameter &p) {
    Json::Value out;
    out["name"] = p.name;
    out["signal_id"] = p.signal_id;
    out["title"] = p.title;
    out["unit"] = p.unit;
    out["low"] = p.low;
    out["high"] = p.high;
    return out;
}

Json::Value control_json(const catalogue::Control &c) {
    Json::Value out;
    out["name"] = c.name;
    out["command_id"] = c.command_id;
    out["title"] = c.title;
    out["takes_module"] = c.takes_module;
    return out;
}

Json::Value alarm_json_row(const catalogue::Alarm &a) {
    Json::Value out;
    out["signal_id"] = a.signal.id;
    out["name"] = a.name;
    out["text"] = a.signal.text;
    out["limit"]["fixed"] = a.limit.fixed;
    out["limit"]["at_50hz"] = a.limit.at_50hz;
    out["limit"]["at_60hz"] = a.limit.at_60hz;
    out["limit"]["unit"] = a.limit.unit;
    return out;
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
        out +=
            "  " + padded(f.name, 22) + padded(f.unit, 6) + padded(f.location, 28) + title + "\n";
    }
    return out;
}

std::string requests_table() {
    std::string out = "\nParameters (--set NAME=VALUE; outside the range only with --force):\n";
    for (const auto &p : catalogue::kParameters)
        out +=
            "  " + padded(p.name, 26) + padded(p.signal_id, 14) +
            padded(shortest_number(p.low) + " to " + shortest_number(p.high) + " " + p.unit, 20) +
            p.title + "\n";
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
    return out;
}

} // namespace

Json::Value listing_json() {
    Json::Value out(Json::objectValue);
    Json::Value &values = out["values"] = Json::Value(Json::arrayValue);
    for (const auto &v : catalogue::kDriverValues)
        values.append(driver_value_json(v));
    for (size_t i = 0; i < kBlockFieldCount; ++i)
        values.append(block_field_json(kBlockFields[i]));
    for (const auto &p : catalogue::kParameters)
        out["parameters"].append(parameter_json(p));
    for (const auto &c : catalogue::kControls)
        out["controls"].append(control_json(c));
    for (const auto &a : catalogue::kAlarms)
        out["alarms"].append(alarm_json_row(a));
    return out;
}

std::string listing_table() {
    return values_table() + requests_table() + alarms_table();
}

} // namespace host
