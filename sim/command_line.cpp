#include "sim/command_line.h"

#include "sim/parse.h"
#include "sim/scenario_file.h"

#include <algorithm>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace sim {
namespace {

using Handler = void (*)(CommandLine &, const std::string &);

struct Option {
    const char *name;
    const char *value; // nullptr: a switch without value
    const char *help;
    Handler apply;
};

unsigned count_of(const std::string &v, unsigned high, const char *what) {
    return static_cast<unsigned>(to_unsigned(v, 0, high, what));
}

uint8_t address_of(const std::string &v, const char *what) {
    return static_cast<uint8_t>(to_unsigned(v, 1, 254, what));
}

const Option kOptions[] = {
    {"--pty", nullptr, "serve a pseudo-terminal; its path is the first line of output",
     [](CommandLine &c, const std::string &) { c.transport = CommandLine::Transport::Pty; }},
    {"--listen", "PORT",
     "serve TCP on 127.0.0.1:PORT, one client at a time (0: any free "
     "port); the address is the first line of output",
     [](CommandLine &c, const std::string &v) {
         c.transport = CommandLine::Transport::Tcp;
         c.port = count_of(v, 65535, "--listen");
     }},
    {"--address", "N[,N...]",
     "device address, 1..254 (default 1); several: a bus of power systems on one line, each "
     "answering its own address",
     [](CommandLine &c, const std::string &v) {
         c.addresses.clear();
         for (const auto &a : split_list(v, ','))
             c.addresses.push_back(address_of(a, "--address"));
         c.sim.address = c.addresses.front();
     }},
    {"--scenario-for", "N:FILE",
     "a scenario for address N of the bus only, read after the common settings",
     [](CommandLine &c, const std::string &v) {
         const size_t colon = v.find(':');
         if (colon == std::string::npos)
             throw std::invalid_argument("--scenario-for: expected N:FILE");
         c.scenario_of.emplace_back(address_of(v.substr(0, colon), "--scenario-for"),
                                    v.substr(colon + 1));
     }},
    {"--silent", "N", "address N of the bus hears every command and never answers",
     [](CommandLine &c, const std::string &v) { c.silent.push_back(address_of(v, "--silent")); }},
    {"--seed", "N", "seed of readings and fault dice (default 1)",
     [](CommandLine &c, const std::string &v) { c.sim.seed = to_unsigned(v, 0, ~0ul, "--seed"); }},
    {"--inputs", "N", "AC inputs (default 2)",
     [](CommandLine &c, const std::string &v) {
         c.sim.layout.inputs = count_of(v, 16, "--inputs");
     }},
    {"--modules", "N", "rectifier modules (default 3)",
     [](CommandLine &c, const std::string &v) {
         c.sim.layout.modules = count_of(v, 60, "--modules");
     }},
    {"--battery-groups", "N", "battery groups (default 2)",
     [](CommandLine &c, const std::string &v) {
         c.sim.layout.battery_groups = count_of(v, 8, "--battery-groups");
     }},
    {"--branches", "N", "DC branches (default 4)",
     [](CommandLine &c, const std::string &v) {
         c.sim.layout.branches = count_of(v, 40, "--branches");
     }},
    {"--user-values", "N", "user-defined DC values (default 2)",
     [](CommandLine &c, const std::string &v) {
         c.sim.layout.user_values = count_of(v, 12, "--user-values");
     }},
    {"--drift", "X", "scale of the readings' wander from round to round; 0 freezes them",
     [](CommandLine &c, const std::string &v) { c.sim.drift = to_double(v, 0, 10, "--drift"); }},
    {"--scenario", "FILE", "JSON scenario (settings, faults, events)",
     [](CommandLine &c, const std::string &v) { load_scenario_file(c.sim, v); }},
    {"--event", "WHEN:NAME[:k=v]",
     "an event at round WHEN or at WHEN seconds (\"12s\"), e.g. "
     "3:ac_overvoltage:input=1:phase=b:volts=290",
     [](CommandLine &c, const std::string &v) { c.sim.scenario.add(parse_event_text(v)); }},
    {"--no-value", "FIELDS",
     "readings sent as blank fill, comma-separated, globs allowed "
     "(ac1.ua, ac*.f, ac.ia, rc.v, rc2.i, dc.v, dc.load, dc.battery1, "
     "dc.branch3, dc.user1)",
     [](CommandLine &c, const std::string &v) { add_fill_patterns(c.sim, v); }},
    {"--fault", "FAULT",
     "inject a fault: KIND[:rate=P][:rounds=3,5-7][:cmd=4143][:...]; kinds "
     "checksum lchecksum group rtn[:code=N] silence truncate noise[:bytes=N] babble[:ms=MS] "
     "split[:pieces=N:gap=MS] echo slow[:ms=MS] pace[:baud=N]",
     [](CommandLine &c, const std::string &v) { c.sim.faults.push_back(parse_fault(v)); }},
    {"--pace", nullptr, "send every byte at the line's baud rate (same as --fault pace)",
     [](CommandLine &c, const std::string &) { c.sim.faults.push_back(parse_fault("pace")); }},
    {"--baud", "N", "line rate for pacing (default 9600)",
     [](CommandLine &c, const std::string &v) {
         c.sim.baud = static_cast<unsigned>(to_unsigned(v, 50, 4000000, "--baud"));
     }},
    {"--rounds", "N", "answer N rounds, then stop at the next round's first command",
     [](CommandLine &c, const std::string &v) {
         c.sim.max_rounds = static_cast<unsigned>(to_unsigned(v, 1, 100000000, "--rounds"));
     }},
    {"--seconds", "S", "stop after S seconds",
     [](CommandLine &c, const std::string &v) {
         c.seconds = to_double(v, 0.001, 1e9, "--seconds");
     }},
    {"--replay", "FILE",
     "answer every command with the reply a capture holds for its address and command, the "
     "next one in recorded order, after the recorded pause",
     [](CommandLine &c, const std::string &v) { c.replay = v; }},
    {"--replay-paced", nullptr, "with --replay: send the replies paced at --baud instead",
     [](CommandLine &c, const std::string &) { c.replay_paced = true; }},
    {"--replay-loop", nullptr,
     "with --replay: at the end of the capture start over from its first exchange (instead of "
     "answering nothing more)",
     [](CommandLine &c, const std::string &) { c.replay_loop = true; }},
    {"--log", nullptr, "transcript of the line on standard error",
     [](CommandLine &c, const std::string &) { c.log = true; }},
    {"--help", nullptr, "this text (also -h)",
     [](CommandLine &c, const std::string &) { c.help = true; }},
    {"--version", nullptr, "the program's name and version",
     [](CommandLine &c, const std::string &) { c.version = true; }},
};

// Shorthands for the common scenario events: "--NAME-at ROUND".
const struct {
    const char *option;
    const char *event;
} kEventOptions[] = {
    {"--mains-fail-at", "mains_fail"},
    {"--mains-return-at", "mains_return"},
    {"--overvoltage-at", "ac_overvoltage"},
    {"--low-frequency-at", "low_frequency"},
    {"--module-fault-at", "module_fault"},
    {"--module-clear-at", "module_clear"},
    {"--module-add-at", "module_add"},
    {"--module-remove-at", "module_remove"},
    {"--dc-sag-at", "dc_sag"},
    {"--dc-recover-at", "dc_recover"},
};

// "  --name VALUE   help text", the help wrapped at 100 columns.
std::string help_entry(const std::string &name, const std::string &help) {
    constexpr size_t kColumn = 28, kWidth = 100;
    std::string out = "  " + name;
    out += out.size() + 1 < kColumn ? std::string(kColumn - out.size(), ' ')
                                    : "\n" + std::string(kColumn, ' ');
    size_t width = kColumn;
    std::istringstream words(help);
    std::string word;
    bool first = true;
    while (words >> word) {
        if (!first && width + 1 + word.size() > kWidth) {
            out += "\n" + std::string(kColumn, ' ');
            width = kColumn;
            first = true;
        }
        if (!first) {
            out += ' ';
            ++width;
        }
        out += word;
        width += word.size();
        first = false;
    }
    return out + "\n";
}

} // namespace

CommandLine parse_command_line(const std::vector<std::string> &args) {
    CommandLine c;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i] == "-h" ? "--help" : args[i];
        auto value = [&]() -> const std::string & {
            if (i + 1 >= args.size())
                throw std::invalid_argument(arg + " needs a value");
            return args[++i];
        };
        auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                   [&](const Option &o) { return arg == o.name; });
        if (option != std::end(kOptions)) {
            option->apply(c, option->value ? value() : std::string());
            continue;
        }
        auto shorthand = std::find_if(std::begin(kEventOptions), std::end(kEventOptions),
                                      [&](const auto &o) { return arg == o.option; });
        if (shorthand == std::end(kEventOptions))
            throw std::invalid_argument("unknown option " + arg + " (see --help)");
        c.sim.scenario.add(parse_event_text(value() + ":" + shorthand->event));
    }
    check_fill_patterns(c.sim);
    bus_configs(c); // an address given twice, or a scenario for an address not served
    if ((c.replay_paced || c.replay_loop) && c.replay.empty())
        throw std::invalid_argument(
            std::string(c.replay_loop ? "--replay-loop" : "--replay-paced") +
            ": only with --replay FILE");
    return c;
}

std::vector<Config> bus_configs(const CommandLine &cl) {
    std::vector<uint8_t> addresses = cl.addresses;
    if (addresses.empty())
        addresses.push_back(cl.sim.address);
    auto served = [&](uint8_t a) {
        return std::find(addresses.begin(), addresses.end(), a) != addresses.end();
    };
    for (const auto &[address, file] : cl.scenario_of)
        if (!served(address))
            throw std::invalid_argument("--scenario-for " + std::to_string(address) + ":" + file +
                                        ": address not served (see --address)");
    for (uint8_t address : cl.silent)
        if (!served(address))
            throw std::invalid_argument("--silent " + std::to_string(address) +
                                        ": address not served (see --address)");
    std::vector<Config> out;
    for (size_t i = 0; i < addresses.size(); ++i) {
        Config c = cl.sim;
        c.seed += i;
        for (const auto &[address, file] : cl.scenario_of)
            if (address == addresses[i])
                load_scenario_file(c, file);
        c.address = addresses[i]; // a scenario's own address does not move the device
        if (std::find(cl.silent.begin(), cl.silent.end(), addresses[i]) != cl.silent.end())
            c.faults.push_back(parse_fault("silence"));
        check_fill_patterns(c);
        if (std::any_of(out.begin(), out.end(),
                        [&](const Config &o) { return o.address == c.address; }))
            throw std::invalid_argument("--address: " + std::to_string(c.address) + " given twice");
        out.push_back(c);
    }
    return out;
}

std::string usage() {
    std::ostringstream out;
    out << "usage: mpx23-sim (--pty | --listen PORT) [options]\n"
           "Simulates a 48 V DC power system answering the power-supply protocol, or several\n"
           "on one line (--address 1,2,5), each its own plant answering its own address.\n\n";
    for (const auto &o : kOptions)
        out << help_entry(std::string(o.name) + (o.value ? std::string(" ") + o.value : ""),
                          o.help);
    for (const auto &e : kEventOptions)
        out << help_entry(std::string(e.option) + " ROUND",
                          std::string("event ") + e.event + " at that round");
    out << "\nEvents: mains_fail mains_return ac_overvoltage low_frequency breaker_open "
           "breaker_close\n  module_fault module_clear module_alarm module_add module_remove "
           "dc_sag dc_recover\n  dc_fuse no_value value_back\n"
           "A round starts with each parameter query (CID1 0x42, CID2 0x47).\n";
    return out.str();
}

} // namespace sim
