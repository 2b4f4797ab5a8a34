#include "host/console/table.h"

#include "host/block/block_fields.h"
#include "host/common/catalogue.h"
#include "host/common/clock_text.h"
#include "host/json/json_writer.h"

#include <cstdio>
#include <sstream>

namespace host {
namespace {

std::string fixed(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string module_text(size_t index, const mpx23_rc_channel &m) {
    const ModuleState state = module_state(m);
    std::string text = "#" + std::to_string(index + 1) + (state.on ? " on " : " off ") +
                       fixed(static_cast<double>(m.out_i), 1) + " A";
    if (state.current_limited)
        text += " limit";
    if (state.failed)
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
    std::string text;
    append_seven_digits(text, static_cast<double>(v));
    return text;
}

} // namespace

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
    return line + "\n    modules (" + module_state(b.modules[0]).charge +
           "): " + joined(b.modules, ", ", module_text);
}

std::string csv_header() {
    return "row,stored,data_id,block_time,dc_voltage,load_current,rc_out_v,module_currents,"
           "module_on,ac_phase_voltages,ac_frequencies,param47_a,param47_b";
}

std::string csv_row(int64_t row, const std::string &stored, uint32_t data_id,
                    const DecodedBlock &b) {
    auto currents = [](size_t, const mpx23_rc_channel &m) { return number(m.out_i); };
    auto on = [](size_t, const mpx23_rc_channel &m) {
        return std::string(module_state(m).on ? "1" : "0");
    };
    auto phases = [](size_t, const mpx23_ac_channel &c) {
        return number(c.ua) + "/" + number(c.ub) + "/" + number(c.uc);
    };
    auto hz = [](size_t, const mpx23_ac_channel &c) { return number(c.f); };
    std::ostringstream out;
    out << row << ',' << iso_local_time(stored) << ',' << data_id << ','
        << iso_local_time(time_text(b.dc.time)) << ',' << number(b.dc.voltage) << ','
        << number(b.dc.load_current) << ',' << number(b.rc.out_v) << ','
        << joined(b.modules, ";", currents) << ',' << joined(b.modules, ";", on) << ','
        << joined(b.inputs, ";", phases) << ',' << joined(b.inputs, ";", hz) << ',' << b.param47_a
        << ',' << b.param47_b;
    return out.str();
}

std::string value_text(const std::string &name, double value, bool bare) {
    if (const auto fixed = setpoint_text(name, value)) {
        size_t n = 0;
        return bare ? *fixed : *fixed + " " + find_block_field(name, n)->unit;
    }
    std::string number;
    append_seven_digits(number, value);
    return number;
}

// The host's English name first when it knows the alarm, the driver's text beside it.
std::string alarm_text(const AlarmRecord &a) {
    const std::string name = catalogue::alarm_name(a.signal_id);
    return a.time + " device " + std::to_string(a.data_id) + " alarm " +
           (a.raised ? "raised  " : "cleared ") + a.signal_id + " " +
           (name.empty() || name == a.text ? a.text : name + " (" + a.text + ")") + " [" +
           a.detail + "]";
}

} // namespace host
