#include "host/http/metrics.h"

#include "host/common/catalogue.h"
#include "host/common/plain_text.h"
#include "host/json/json_writer.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <functional>
#include <set>
#include <utility>
#include <vector>

namespace host {
namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

// A label value is UTF-8 with backslash, quote and line feed escaped; a byte that is not UTF-8
// would make the whole scrape unreadable, so it becomes U+FFFD.
std::string escaped(const std::string &value) {
    std::string out;
    for (char c : valid_utf8(value))
        out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

std::string number(double v) {
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    // A reading is a float: its seven digits, not the noise of its widening to double.
    const bool reading = std::fabs(v) < 1e7 && static_cast<double>(static_cast<float>(v)) == v;
    if (reading) {
        std::string text;
        append_seven_digits(text, v);
        return text;
    }
    char text[32]; // a count or a time: its own digits, more than seven
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

// "bad CHKSUM" -> "bad_chksum": a reason as a label value that needs no quoting to be read.
std::string label_key(const std::string &text) {
    std::string out;
    for (char c : text)
        out += std::isalnum(static_cast<unsigned char>(c))
                   ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                   : '_';
    return out;
}

// One metric family: its help and type once, then every sample.
class Family {
public:
    Family(const char *name, const char *type, const char *help)
        : name(name), type(type), help(help) {}
    void add(const Labels &labels, double value) {
        samples += name;
        if (!labels.empty()) {
            samples += '{';
            for (size_t i = 0; i < labels.size(); ++i)
                samples +=
                    (i ? "," : "") + labels[i].first + "=\"" + escaped(labels[i].second) + "\"";
            samples += '}';
        }
        samples += ' ' + number(value) + '\n';
    }
    std::string text() const {
        if (samples.empty())
            return "";
        return "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + samples;
    }

private:
    std::string name, type, help;
    std::string samples;
};

Labels device_labels(const DeviceState &d) {
    Labels labels{{"data_id", std::to_string(d.data_id)}};
    if (!d.name.empty())
        labels.emplace_back("name", d.name);
    return labels;
}

Labels with(Labels labels, const char *key, const std::string &value) {
    labels.emplace_back(key, value);
    return labels;
}

// A family from every device: `each` adds the device's samples.
struct DeviceFamily {
    const char *name, *type, *help;
    bool readings; // from the last round: only while the device is up
    std::function<void(Family &, const DeviceState &, const Labels &)> each;
};

void per_entry(Family &f, const Labels &base, const char *key, size_t count,
               const std::function<double(size_t)> &value) {
    for (size_t i = 0; i < count; ++i)
        f.add(with(base, key, std::to_string(i + 1)), value(i));
}

// Every alarm the device can raise, 0 or 1, so that a rule sees the series before it first
// fires; an alarm active outside that set (switched off in the driver since) still shows.
void alarm_series(Family &f, const DeviceState &d, const Labels &l) {
    std::set<std::string> ids(d.driver_alarms.begin(), d.driver_alarms.end());
    if (d.module_alarms && d.shape)
        for (size_t m = 1; m <= d.shape->modules; ++m)
            ids.insert(catalogue::module_fault_id(m));
    for (const auto &entry : d.alarms)
        ids.insert(entry.first);
    for (const std::string &id : ids)
        f.add(with(with(l, "alarm", id), "alarm_name", catalogue::alarm_name(id)),
              d.alarms.count(id) ? 1 : 0);
}

// The power system's shape as labels of one series, so that a query can join on it.
void device_info(Family &f, const DeviceState &d, const Labels &l) {
    if (!d.shape)
        return;
    const PlantShape &s = *d.shape;
    f.add(with(with(with(with(l, "modules", std::to_string(s.modules)), "ac_inputs",
                         std::to_string(s.inputs)),
                    "battery_groups", std::to_string(s.battery_groups)),
               "branches", std::to_string(s.branches)),
          1);
}

// A module's charge mode as a state set: one series per mode, 1 for the mode it is in.
void charge_modes(Family &f, const DeviceState &d, const Labels &l) {
    const auto &modules = d.block->modules;
    for (size_t i = 0; i < modules.size(); ++i) {
        const std::string mode = module_state(modules[i]).charge;
        for (const char *m : {"float", "equalise", "test"})
            f.add(with(with(l, "module", std::to_string(i + 1)), "mode", m), mode == m ? 1 : 0);
    }
}

// The settings the block holds, in volts, by the names --set takes: its words are in 10 mV.
void setpoints(Family &f, const DeviceState &d, const Labels &l) {
    f.add(with(l, "parameter", "float-voltage"), d.block->param47_a / 100.0);
    f.add(with(l, "parameter", "equalise-voltage"), d.block->param47_b / 100.0);
}

const DeviceFamily kDeviceFamilies[] = {
    {"mpx23_device_info", "gauge",
     "The power system's modules, AC inputs, battery groups and branches, as labels; always 1",
     false, device_info},
    {"mpx23_up", "gauge", "1 while the host communicates with the device, 0 once it is lost", false,
     [](Family &f, const DeviceState &d, const Labels &l) {
         f.add(l, d.link == DeviceState::Link::Up ? 1 : 0);
     }},
    {"mpx23_last_round_timestamp_seconds", "gauge",
     "Time the last round completed, seconds since the epoch", false,
     [](Family &f, const DeviceState &d, const Labels &l) {
         if (d.rounds > 0)
             f.add(l, d.last_round);
     }},
    {"mpx23_rounds_completed_total", "counter", "Polling rounds completed", false,
     [](Family &f, const DeviceState &d, const Labels &l) {
         f.add(l, static_cast<double>(d.rounds));
     }},
    {"mpx23_rounds_failed_total", "counter", "Polling rounds that failed, by reason", false,
     [](Family &f, const DeviceState &d, const Labels &l) {
         for (const auto &[reason, count] : d.failed)
             f.add(with(l, "reason", reason), static_cast<double>(count));
     }},
    {"mpx23_frames_dropped_total", "counter", "Reply frames thrown away, by fault", false,
     [](Family &f, const DeviceState &d, const Labels &l) {
         for (const auto &[fault, count] : d.dropped)
             f.add(with(l, "reason", label_key(fault)), static_cast<double>(count));
     }},
    {"mpx23_alarm_active", "gauge", "1 while the alarm is active, 0 while it is not", false,
     alarm_series},
    {"mpx23_dc_voltage_volts", "gauge", "DC bus voltage", true,
     [](Family &f, const DeviceState &d, const Labels &l) { f.add(l, d.block->dc.voltage); }},
    {"mpx23_dc_load_current_amperes", "gauge", "DC load current", true,
     [](Family &f, const DeviceState &d, const Labels &l) { f.add(l, d.block->dc.load_current); }},
    {"mpx23_battery_current_amperes", "gauge", "Battery group current", true,
     [](Family &f, const DeviceState &d, const Labels &l) {
         const auto &dc = d.block->dc;
         per_entry(f, l, "battery", std::min<size_t>(dc.m_count, DcSizes::M_SIZE()),
                   [&](size_t i) { return dc.m_values[i]; });
     }},
    {"mpx23_branch_current_amperes", "gauge", "Load branch current", true,
     [](Family &f, const DeviceState &d, const Labels &l) {
         const auto &dc = d.block->dc;
         per_entry(f, l, "branch", std::min<size_t>(dc.n_count, DcSizes::N_SIZE()),
                   [&](size_t i) { return dc.n_values[i]; });
     }},
    {"mpx23_ac_voltage_volts", "gauge", "AC input phase voltage", true,
     [](Family &f, const DeviceState &d, const Labels &l) {
         const auto &inputs = d.block->inputs;
         for (size_t i = 0; i < inputs.size(); ++i) {
             const Labels input = with(l, "input", std::to_string(i + 1));
             f.add(with(input, "phase", "a"), inputs[i].ua);
             f.add(with(input, "phase", "b"), inputs[i].ub);
             f.add(with(input, "phase", "c"), inputs[i].uc);
         }
     }},
    {"mpx23_ac_frequency_hertz", "gauge", "AC input frequency", true,
     [](Family &f, const DeviceState &d, const Labels &l) {
         const auto &inputs = d.block->inputs;
         per_entry(f, l, "input", inputs.size(), [&](size_t i) { return inputs[i].f; });
     }},
    {"mpx23_ac_current_amperes", "gauge", "AC phase current of the AC distribution", true,
     [](Family &f, const DeviceState &d, const Labels &l) {
         const acData &ac = d.block->ac;
         f.add(with(l, "phase", "a"), ac.ia);
         f.add(with(l, "phase", "b"), ac.ib);
         f.add(with(l, "phase", "c"), ac.ic);
     }},
    {"mpx23_rectifier_output_voltage_volts", "gauge", "Rectifier output voltage", true,
     [](Family &f, const DeviceState &d, const Labels &l) { f.add(l, d.block->rc.out_v); }},
    {"mpx23_setpoint_volts", "gauge", "Charge voltage setting the power system holds", true,
     setpoints},
    {"mpx23_module_output_current_amperes", "gauge", "Rectifier module output current", true,
     [](Family &f, const DeviceState &d, const Labels &l) {
         const auto &modules = d.block->modules;
         per_entry(f, l, "module", modules.size(), [&](size_t i) { return modules[i].out_i; });
     }},
    {"mpx23_module_on", "gauge", "1 while the rectifier module is on", true,
     [](Family &f, const DeviceState &d, const Labels &l) {
         const auto &modules = d.block->modules;
         per_entry(f, l, "module", modules.size(),
                   [&](size_t i) { return module_state(modules[i]).on ? 1 : 0; });
     }},
    {"mpx23_module_fault", "gauge", "1 while the rectifier module reports a fault", true,
     [](Family &f, const DeviceState &d, const Labels &l) {
         const auto &modules = d.block->modules;
         per_entry(f, l, "module", modules.size(),
                   [&](size_t i) { return module_state(modules[i]).failed ? 1 : 0; });
     }},
    {"mpx23_module_charge_mode", "gauge",
     "1 for the charge mode the rectifier module is in (float, equalise, test), 0 for the others",
     true, charge_modes},
};

} // namespace

std::string metrics_text(const SiteState &site, const std::string &version,
                         const std::optional<MqttHealth> &mqtt) {
    std::string out;
    Family info("mpx23_build_info", "gauge", "The host's version, as a label; always 1");
    info.add({{"version", version}}, 1);
    out += info.text();
    for (const DeviceFamily &family : kDeviceFamilies) {
        Family f(family.name, family.type, family.help);
        for (const DeviceState &d : site.devices())
            if (!family.readings || (d.link == DeviceState::Link::Up && d.block))
                family.each(f, d, device_labels(d));
        out += f.text();
    }
    Family busy("mpx23_line_busy_ratio", "gauge",
                "Share of the last minute a device held the line");
    for (const auto &[line, ratio] : site.busy_ratios())
        busy.add({{"line", line}}, ratio);
    out += busy.text();
    if (mqtt) {
        Family connected("mpx23_mqtt_connected", "gauge", "1 while connected to the broker");
        connected.add({}, mqtt->connected ? 1 : 0);
        out += connected.text();
        Family backlog("mpx23_mqtt_backlog_events", "gauge", "Events waiting for the broker");
        if (mqtt->backlog)
            backlog.add({}, static_cast<double>(*mqtt->backlog));
        out += backlog.text();
    }
    return out;
}

} // namespace host
