// Scenario objects and files: a simulator's settings, faults and events as JSON. mpx23-sim reads
// them (--scenario, --scenario-for), and so does the reference host for its "sim" devices.
#pragma once

#include "sim/simulator.h"

#include <json/value.h>

#include <string>

namespace sim {

// A scenario: {"seed": 7, "address": 1, "inputs": 2, "modules": 3, "battery_groups": 2,
// "branches": 4, "user_values": 2, "drift": 1.0, "baud": 9600, "faults": ["checksum:rate=0.1"],
// "no_value": ["dc.user2"], "events": [{"round": 3, "event": "mains_fail"}, ...]}; every key
// optional. Throws std::invalid_argument.
void load_scenario(Config &config, const Json::Value &scenario);
void load_scenario_file(Config &config, const std::string &path);

// Adds readings to send as blank fill: comma-separated names, globs allowed ("rc*.i,dc.v").
void add_fill_patterns(Config &config, const std::string &patterns);

// Throws std::invalid_argument for a blank-fill pattern that matches no reading of the
// configured plant.
void check_fill_patterns(const Config &config);

} // namespace sim
