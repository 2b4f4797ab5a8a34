#include "host/common/device_config.h"

#include "host/common/catalogue.h"
#include "host/common/plain_text.h"
#include "host/common/wire_timing.h"

#include <algorithm>
#include <cstdlib>

namespace host {

PortLocation parse_port(const std::string &text) {
    if (!plain_text(text))
        throw ConfigError(kPlainTextExpected);
    PortLocation where;
    // "sim:NAME" is a simulated line of its own: devices on different names do not share one.
    if (text == "sim" || (text.rfind("sim:", 0) == 0 && text.size() > 4))
        return where;
    if (text == "sim:")
        throw ConfigError("expected sim:NAME with a name");
    if (text.rfind("tcp:", 0) == 0) {
        const auto colon = text.rfind(':');
        const std::string host = text.substr(4, colon - 4);
        const std::string port = text.substr(colon + 1);
        const bool digits = !port.empty() && port.size() <= 5 &&
                            port.find_first_not_of("0123456789") == std::string::npos;
        const long number = digits ? std::strtol(port.c_str(), nullptr, 10) : 0;
        // A bracketed IPv6 address must be closed, else its colons are taken for the port's.
        const bool bracket_open = !host.empty() && host[0] == '[' && host.back() != ']';
        if (colon < 4 || host.empty() || bracket_open || number < 1 || number > 65535)
            throw ConfigError("expected tcp:HOST:PORT with a port from 1 to 65535");
        where.kind = PortLocation::Kind::Tcp;
        where.path = host;
        where.tcp_port = static_cast<uint16_t>(number);
        return where;
    }
    if (text.empty())
        throw ConfigError("expected a serial device path, tcp:HOST:PORT, sim or sim:NAME");
    where.kind = PortLocation::Kind::Serial;
    where.path = text;
    return where;
}

namespace {

// Each kind of threshold, the alarms it is of, and its range at 50 and at 60 Hz mains.
struct ThresholdKind {
    const protocol::AlarmSignal *alarms[3];
    ThresholdRange at_50hz, at_60hz;
};

const ThresholdKind kThresholdKinds[] = {
    {{&protocol::alarm::kDcVoltageLow, &protocol::alarm::kDcVoltageVeryLow,
      &protocol::alarm::kDcVoltageHigh},
     {40.0, 60.0, "V", "a 48 V plant's DC bus"},
     {40.0, 60.0, "V", "a 48 V plant's DC bus"}},
    {{&protocol::alarm::kAcFrequencyHigh},
     {50.5, 60.0, "Hz", "above 50 Hz mains"},
     {60.5, 72.0, "Hz", "above 60 Hz mains"}},
    {{&protocol::alarm::kAcFrequencyLow},
     {40.0, 49.5, "Hz", "below 50 Hz mains"},
     {48.0, 59.5, "Hz", "below 60 Hz mains"}},
};

// What a float holds: a threshold the table does not know is only kept finite.
constexpr ThresholdRange kAnyThreshold{-1e6, 1e6, "", "a limit the driver can compare"};

} // namespace

std::optional<ThresholdRange> threshold_range(const catalogue::Alarm &alarm,
                                              unsigned mains_frequency) {
    if (alarm.limit.fixed)
        return std::nullopt;
    for (const ThresholdKind &kind : kThresholdKinds)
        for (const protocol::AlarmSignal *signal : kind.alarms)
            if (signal == &alarm.signal)
                return mains_frequency == 60 ? kind.at_60hz : kind.at_50hz;
    return kAnyThreshold;
}

double DeviceConfig::reply_timeout() const {
    return timeout ? *timeout : default_timeout(baud);
}

Json::Value DeviceConfig::driver_settings() const {
    Json::Value given = settings;
    if (alarms && !given.isMember("alarm_profile"))
        given["alarm_profile"] = 2;
    return given;
}

std::map<std::string, int> DeviceConfig::effective_alarm_settings() const {
    std::map<std::string, int> out;
    for (const catalogue::Alarm &alarm : catalogue::kAlarms)
        out[alarm.signal.id] = alarms ? 1 : 0;
    for (const auto &[id, setting] : alarm_settings)
        out[id] = setting;
    return out;
}

std::map<std::string, float> DeviceConfig::effective_alarm_thresholds() const {
    std::map<std::string, float> out;
    for (const catalogue::Alarm &alarm : catalogue::kAlarms)
        if (!alarm.limit.fixed)
            out[alarm.signal.id] = static_cast<float>(mains_frequency == 60 ? alarm.limit.at_60hz
                                                                            : alarm.limit.at_50hz);
    for (const auto &[id, threshold] : alarm_thresholds)
        out[id] = threshold;
    return out;
}

std::string DeviceConfig::key_name(const std::string &key) const {
    if (!origin.empty())
        return origin + "." + key;
    // On the command line the option of the last part names it: settings.address -> --address
    std::string option = key.substr(key.rfind('.') + 1);
    std::replace(option.begin(), option.end(), '_', '-');
    return "--" + option;
}

} // namespace host
