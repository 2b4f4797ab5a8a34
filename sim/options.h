// The command line of mpx23-sim, and scenario files.
#pragma once

#include "sim/simulator.h"

#include <json/value.h>

#include <string>
#include <vector>

namespace sim {

struct CommandLine {
    enum class Transport { None, Pty, Tcp };

    Config sim;
    // The bus: every address served on the line (empty: sim.address alone), the scenario file
    // of an address, and the addresses that never answer.
    std::vector<uint8_t> addresses;
    std::vector<std::pair<uint8_t, std::string>> scenario_of;
    std::vector<uint8_t> silent;
    Transport transport = Transport::None;
    unsigned port = 0;    // --listen; 0 picks a free port
    double seconds = 0.0; // run time limit; 0: none
    bool log = false;
    bool help = false;
    // A capture to answer from instead of simulating (its first port's exchanges), with its
    // recorded pauses or paced at --baud.
    std::string replay;
    bool replay_paced = false;
};

// Parses the arguments after the program name. Throws std::invalid_argument with a message
// for the user.
CommandLine parse_command_line(const std::vector<std::string> &args);
std::string usage();

// One simulator configuration per served address: the common settings, then the address's own
// scenario file; each device gets its own seed (the common seed plus its place in the list), so
// that no two plants read the same. Throws std::invalid_argument.
std::vector<Config> bus_configs(const CommandLine &cl);

// A scenario: {"seed": 7, "address": 1, "inputs": 2, "modules": 3, "battery_groups": 2,
// "branches": 4, "user_values": 2, "drift": 1.0, "baud": 9600, "faults": ["checksum:rate=0.1"],
// "no_value": ["dc.user2"], "events": [{"round": 3, "event": "mains_fail"}, ...]}; every key
// optional. Throws std::invalid_argument.
void load_scenario(Config &config, const Json::Value &scenario);
void load_scenario_file(Config &config, const std::string &path);

// Throws std::invalid_argument for a blank-fill pattern that matches no reading of the
// configured plant.
void check_fill_patterns(const Config &config);

} // namespace sim
