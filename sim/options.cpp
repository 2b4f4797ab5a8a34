#include "sim/options.h"

#include "sim/parse.h"

#include <json/reader.h>

#include <fnmatch.h>

#include <algorithm>
#include <fstream>
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

void add_fill(Config &c, const std::string &patterns) {
    for (const auto &p : split_list(patterns, ','))
        if (!p.empty())
            c.fill.push_back(p);
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
     [](CommandLine &c, const std::string &v) { add_fill(c.sim, v); }},
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
    {"--log", nullptr, "transcript of the line on standard error",
     [](CommandLine &c, const std::string &) { c.log = true; }},
    {"--help", nullptr, "this text", [](CommandLine &c, const std::string &) { c.help = true; }},
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

unsigned json_count(const Json::Value &v, const char *key, unsigned high) {
    if (!v.isUInt() || v.asUInt() > high)
        throw std::invalid_argument(std::string("scenario ") + key + ": expected 0 to " +
                                    std::to_string(high));
    return v.asUInt();
}

std::vector<std::string> json_strings(const Json::Value &v, const char *key) {
    if (!v.isArray())
        throw std::invalid_argument(std::string("scenario ") + key + ": expected a list");
    std::vector<std::string> out;
    for (const auto &s : v) {
        if (!s.isString())
            throw std::invalid_argument(std::string("scenario ") + key + ": expected texts");
        out.push_back(s.asString());
    }
    return out;
}

using ScenarioKey = void (*)(Config &, const Json::Value &);

const std::pair<const char *, ScenarioKey> kScenarioKeys[] = {
    {"seed",
     [](Config &c, const Json::Value &v) {
         if (!v.isUInt64())
             throw std::invalid_argument("scenario seed: expected a whole number");
         c.seed = v.asUInt64();
     }},
    {"address",
     [](Config &c, const Json::Value &v) {
         if (!v.isUInt() || v.asUInt() < 1 || v.asUInt() > 254)
             throw std::invalid_argument("scenario address: expected 1 to 254");
         c.address = static_cast<uint8_t>(v.asUInt());
     }},
    {"inputs",
     [](Config &c, const Json::Value &v) { c.layout.inputs = json_count(v, "inputs", 16); }},
    {"modules",
     [](Config &c, const Json::Value &v) { c.layout.modules = json_count(v, "modules", 60); }},
    {"battery_groups",
     [](Config &c, const Json::Value &v) {
         c.layout.battery_groups = json_count(v, "battery_groups", 8);
     }},
    {"branches",
     [](Config &c, const Json::Value &v) { c.layout.branches = json_count(v, "branches", 40); }},
    {"user_values",
     [](Config &c, const Json::Value &v) {
         c.layout.user_values = json_count(v, "user_values", 12);
     }},
    {"drift",
     [](Config &c, const Json::Value &v) {
         if (!v.isNumeric() || v.asDouble() < 0 || v.asDouble() > 10)
             throw std::invalid_argument("scenario drift: expected 0 to 10");
         c.drift = v.asDouble();
     }},
    {"baud",
     [](Config &c, const Json::Value &v) {
         if (!v.isUInt() || v.asUInt() < 50)
             throw std::invalid_argument("scenario baud: expected 50 or more");
         c.baud = v.asUInt();
     }},
    {"faults",
     [](Config &c, const Json::Value &v) {
         for (const auto &f : json_strings(v, "faults"))
             c.faults.push_back(parse_fault(f));
     }},
    {"no_value",
     [](Config &c, const Json::Value &v) {
         for (const auto &f : json_strings(v, "no_value"))
             add_fill(c, f);
     }},
    {"events",
     [](Config &c, const Json::Value &v) {
         if (!v.isArray())
             throw std::invalid_argument("scenario events: expected a list");
         for (const auto &e : v)
             c.scenario.add(parse_event(e));
     }},
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

void load_scenario(Config &config, const Json::Value &scenario) {
    if (!scenario.isObject())
        throw std::invalid_argument("a scenario is a JSON object");
    for (const auto &key : scenario.getMemberNames()) {
        auto k = std::find_if(std::begin(kScenarioKeys), std::end(kScenarioKeys),
                              [&](const auto &e) { return key == e.first; });
        if (k == std::end(kScenarioKeys))
            throw std::invalid_argument("scenario: unknown key \"" + key + "\"");
        k->second(config, scenario[key]);
    }
}

void load_scenario_file(Config &config, const std::string &path) {
    std::ifstream in(path);
    if (!in)
        throw std::invalid_argument("cannot read scenario " + path);
    Json::CharReaderBuilder builder;
    Json::Value root;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &root, &errors))
        throw std::invalid_argument("scenario " + path + ": " + errors);
    load_scenario(config, root);
}

void check_fill_patterns(const Config &config) {
    const auto names = Plant(config.layout).names();
    for (const auto &pattern : config.fill) {
        const bool matches = std::any_of(names.begin(), names.end(), [&](const std::string &n) {
            return fnmatch(pattern.c_str(), n.c_str(), 0) == 0;
        });
        if (!matches)
            throw std::invalid_argument("no reading is called \"" + pattern + "\"");
    }
}

CommandLine parse_command_line(const std::vector<std::string> &args) {
    CommandLine c;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
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
