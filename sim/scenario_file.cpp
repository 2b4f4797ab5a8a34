#include "sim/scenario_file.h"

#include "sim/parse.h"

#include <json/reader.h>

#include <fnmatch.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>
#include <vector>

namespace sim {
namespace {

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
             add_fill_patterns(c, f);
     }},
    {"events",
     [](Config &c, const Json::Value &v) {
         if (!v.isArray())
             throw std::invalid_argument("scenario events: expected a list");
         for (const auto &e : v)
             c.scenario.add(parse_event(e));
     }},
};

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

void add_fill_patterns(Config &config, const std::string &patterns) {
    for (const auto &p : split_list(patterns, ','))
        if (!p.empty())
            config.fill.push_back(p);
}

} // namespace sim
