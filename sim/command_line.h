// The command line of mpx23-sim. Only the program and its tests link it (mpx23_sim_cli); the
// scenario files it names are read by the simulator library (sim/scenario_file.h).
#pragma once

#include "sim/simulator.h"

#include <cstdint>
#include <string>
#include <utility>
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
    bool version = false;
    // A capture to answer from instead of simulating (its first port's exchanges), with its
    // recorded pauses or paced at --baud.
    std::string replay;
    bool replay_paced = false;
    bool replay_loop = false; // at the capture's end, start over instead of falling silent
};

// Parses the arguments after the program name. Throws std::invalid_argument with a message
// for the user.
CommandLine parse_command_line(const std::vector<std::string> &args);
std::string usage();

// One simulator configuration per served address: the common settings, then the address's own
// scenario file; each device gets its own seed (the common seed plus its place in the list), so
// that no two plants read the same. Throws std::invalid_argument.
std::vector<Config> bus_configs(const CommandLine &cl);

} // namespace sim
