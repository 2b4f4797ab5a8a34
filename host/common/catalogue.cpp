#include "host/common/catalogue.h"

#include <cstdio>
#include <iterator>

namespace host::catalogue {
namespace {

template <class Row, size_t N, class Key>
const Row *find_row(const Row (&table)[N], std::string_view wanted, Key key) {
    for (const Row &row : table)
        if (wanted == key(row))
            return &row;
    return nullptr;
}

} // namespace

const Parameter *parameter_named(std::string_view name) {
    return find_row(kParameters, name, [](const Parameter &p) { return p.name; });
}
const Parameter *parameter_with_id(std::string_view signal_id) {
    return find_row(kParameters, signal_id, [](const Parameter &p) { return p.signal_id; });
}
const Control *control_named(std::string_view name) {
    return find_row(kControls, name, [](const Control &c) { return c.name; });
}
const Control *control_with_id(std::string_view command_id) {
    return find_row(kControls, command_id, [](const Control &c) { return c.command_id; });
}
const Alarm *alarm_with_id(std::string_view signal_id) {
    return find_row(kAlarms, signal_id, [](const Alarm &a) { return a.signal.id; });
}
std::string limit_text(const Alarm &alarm, unsigned mains_frequency) {
    char text[32];
    std::snprintf(text, sizeof text, "%g %s",
                  mains_frequency == 60 ? alarm.limit.at_60hz : alarm.limit.at_50hz,
                  alarm.limit.unit);
    return text;
}

namespace {
constexpr std::string_view kModuleHead = "host.module", kFaultTail = ".fault";
} // namespace

std::string module_fault_id(size_t module) {
    return std::string(kModuleHead) + std::to_string(module) + std::string(kFaultTail);
}

size_t module_of_alarm(std::string_view id) {
    if (id.size() <= kModuleHead.size() + kFaultTail.size() ||
        id.substr(0, kModuleHead.size()) != kModuleHead ||
        id.substr(id.size() - kFaultTail.size()) != kFaultTail)
        return 0;
    const std::string_view digits =
        id.substr(kModuleHead.size(), id.size() - kModuleHead.size() - kFaultTail.size());
    size_t module = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || digits.size() > 3)
            return 0;
        module = module * 10 + static_cast<size_t>(c - '0');
    }
    return digits[0] == '0' ? 0 : module;
}

std::string module_fault_name(size_t module) {
    return "Rectifier module " + std::to_string(module) + " fault";
}

std::string alarm_name(std::string_view signal_id) {
    if (const size_t module = module_of_alarm(signal_id))
        return module_fault_name(module);
    const Alarm *alarm = alarm_with_id(signal_id);
    return alarm ? alarm->name : "";
}

} // namespace host::catalogue
