// Scenarios: things that happen to the power system at a given round (each parameter query,
// 0x42/0x47, starts a round) or a given number of seconds after start.
//
// An event is a JSON object: {"round": 3, "event": "mains_fail"} or {"seconds": 12.5,
// "event": "ac_overvoltage", "input": 1, "phase": "b", "volts": 290}. Events:
//   mains_fail [input]         all phase voltages and the frequency of the input(s) to 0
//   mains_return [input]       nominal voltage and frequency again (also ends an
//                              over-voltage or low frequency)
//   ac_overvoltage [input phase volts]   one phase to `volts` (default input 1, a, 290 V)
//   low_frequency [input hz]   frequency to `hz` (default all inputs, 45 Hz)
//   breaker_open / breaker_close [input]
//   module_fault / module_clear [module]  (modules count from 1; default 1)
//   module_alarm module index value       user-defined alarm byte `index` (1..7)
//   module_add, module_remove [module]    (default: the last module)
//   dc_sag [volts], dc_recover            bus voltage forced to `volts` (default 44 V)
//   dc_fuse index value                   DC alarm byte (battery groups, then branches)
//   no_value fields, value_back [fields]  readings sent as blank fill, and back to values
#pragma once

#include "sim/plant.h"

#include <json/value.h>

#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Event {
    std::optional<unsigned> round;
    std::optional<double> seconds;
    std::string name;
    Json::Value args; // the event object
};

// What events act on.
struct EventTarget {
    Plant &plant;
    std::vector<std::string> &fill; // reading-name patterns sent as blank fill
};

// Checks an event object against the table of events; throws std::invalid_argument.
Event parse_event(const Json::Value &object);
// Command-line shorthand "WHEN:NAME[:key=value]...", WHEN a round ("3") or seconds ("12.5s");
// "fields" takes a comma-separated list.
Event parse_event_text(const std::string &text);
// Carries the event out. False when it names a module, input or alarm byte the plant does
// not have (then nothing changes).
bool apply_event(const Event &event, EventTarget &target);

class Scenario {
public:
    void add(Event event);
    // Events of `round`, in the order they were added.
    std::vector<Event> at_round(unsigned round) const;
    // Time events due by `seconds` that were not handed out before.
    std::vector<Event> due_by(double seconds);
    size_t size() const { return events.size(); }

private:
    std::vector<Event> events;
    std::vector<bool> fired;
};

} // namespace sim
