#include "sim/scenario.h"

#include "sim/parse.h"

#include <algorithm>
#include <stdexcept>

namespace sim {
namespace {

enum class ArgType { Int, Number, Phase, Fields };

struct ArgInfo {
    const char *key;
    ArgType type;
    double low, high;
};

const ArgInfo kInput{"input", ArgType::Int, 1, 16};
const ArgInfo kPhase{"phase", ArgType::Phase, 0, 0};
const ArgInfo kVolts{"volts", ArgType::Number, 0, 655};
const ArgInfo kHz{"hz", ArgType::Number, 0, 655};
const ArgInfo kModule{"module", ArgType::Int, 1, 255};
const ArgInfo kIndex{"index", ArgType::Int, 1, 255};
const ArgInfo kValue{"value", ArgType::Int, 0, 255};
const ArgInfo kFields{"fields", ArgType::Fields, 0, 0};

int int_arg(const Json::Value &a, const char *key, int fallback) {
    return a.isMember(key) ? a[key].asInt() : fallback;
}

double number_arg(const Json::Value &a, const char *key, double fallback) {
    return a.isMember(key) ? a[key].asDouble() : fallback;
}

// Input or module counted from 1 in the event, from 0 here; -1 when absent.
int index_arg(const Json::Value &a, const char *key) {
    return int_arg(a, key, 0) - 1;
}

template <class T> T *at(std::vector<T> &v, int i) {
    return i >= 0 && static_cast<size_t>(i) < v.size() ? &v[static_cast<size_t>(i)] : nullptr;
}

bool mains(EventTarget &t, const Json::Value &a, bool present) {
    const int input = index_arg(a, "input");
    if (a.isMember("input") && !at(t.plant.ac, input))
        return false;
    t.plant.set_mains(present, input);
    return true;
}

bool overvoltage(EventTarget &t, const Json::Value &a) {
    AcInput *in = at(t.plant.ac, int_arg(a, "input", 1) - 1);
    if (!in)
        return false;
    const std::string phase = a.get("phase", "a").asString();
    in->phase[static_cast<size_t>(phase[0] - 'a')].set(number_arg(a, "volts", 290.0));
    return true;
}

bool low_frequency(EventTarget &t, const Json::Value &a) {
    const int input = index_arg(a, "input");
    if (a.isMember("input") && !at(t.plant.ac, input))
        return false;
    for (size_t i = 0; i < t.plant.ac.size(); ++i)
        if (input < 0 || static_cast<size_t>(input) == i)
            t.plant.ac[i].hz.set(number_arg(a, "hz", 45.0));
    return true;
}

bool breaker(EventTarget &t, const Json::Value &a, uint8_t state) {
    AcInput *in = at(t.plant.ac, int_arg(a, "input", 1) - 1);
    if (in)
        in->breaker = state;
    return in != nullptr;
}

bool module_fault(EventTarget &t, const Json::Value &a, bool fault) {
    Rectifier *m = at(t.plant.modules, int_arg(a, "module", 1) - 1);
    if (m)
        m->fault = fault;
    return m != nullptr;
}

bool module_alarm(EventTarget &t, const Json::Value &a) {
    Rectifier *m = at(t.plant.modules, int_arg(a, "module", 1) - 1);
    const int index = int_arg(a, "index", 1) - 1;
    if (!m || index >= static_cast<int>(m->user_alarms.size()))
        return false;
    m->user_alarms[static_cast<size_t>(index)] = static_cast<uint8_t>(int_arg(a, "value", 0));
    return true;
}

bool module_remove(EventTarget &t, const Json::Value &a) {
    auto &modules = t.plant.modules;
    const int i =
        a.isMember("module") ? index_arg(a, "module") : static_cast<int>(modules.size()) - 1;
    if (!at(modules, i))
        return false;
    modules.erase(modules.begin() + i);
    return true;
}

bool dc_fuse(EventTarget &t, const Json::Value &a) {
    uint8_t *b = at(t.plant.dc.fuse_alarms, int_arg(a, "index", 1) - 1);
    if (b)
        *b = static_cast<uint8_t>(int_arg(a, "value", 0));
    return b != nullptr;
}

bool no_value(EventTarget &t, const Json::Value &a) {
    for (const auto &f : a["fields"])
        if (std::find(t.fill.begin(), t.fill.end(), f.asString()) == t.fill.end())
            t.fill.push_back(f.asString());
    return true;
}

bool value_back(EventTarget &t, const Json::Value &a) {
    if (!a.isMember("fields")) {
        t.fill.clear();
        return true;
    }
    for (const auto &f : a["fields"])
        t.fill.erase(std::remove(t.fill.begin(), t.fill.end(), f.asString()), t.fill.end());
    return true;
}

struct EventInfo {
    const char *name;
    std::vector<ArgInfo> args;
    std::vector<const char *> required;
    bool (*apply)(EventTarget &, const Json::Value &);
};

const std::vector<EventInfo> &events_table() {
    static const std::vector<EventInfo> table = {
        {"mains_fail",
         {kInput},
         {},
         [](EventTarget &t, const Json::Value &a) { return mains(t, a, false); }},
        {"mains_return",
         {kInput},
         {},
         [](EventTarget &t, const Json::Value &a) { return mains(t, a, true); }},
        {"ac_overvoltage", {kInput, kPhase, kVolts}, {}, overvoltage},
        {"low_frequency", {kInput, kHz}, {}, low_frequency},
        {"breaker_open",
         {kInput},
         {},
         [](EventTarget &t, const Json::Value &a) { return breaker(t, a, 1); }},
        {"breaker_close",
         {kInput},
         {},
         [](EventTarget &t, const Json::Value &a) { return breaker(t, a, 0); }},
        {"module_fault",
         {kModule},
         {},
         [](EventTarget &t, const Json::Value &a) { return module_fault(t, a, true); }},
        {"module_clear",
         {kModule},
         {},
         [](EventTarget &t, const Json::Value &a) { return module_fault(t, a, false); }},
        {"module_alarm", {kModule, kIndex, kValue}, {"module", "index", "value"}, module_alarm},
        {"module_add",
         {},
         {},
         [](EventTarget &t, const Json::Value &) {
             t.plant.add_module();
             return true;
         }},
        {"module_remove", {kModule}, {}, module_remove},
        {"dc_sag",
         {kVolts},
         {},
         [](EventTarget &t, const Json::Value &a) {
             t.plant.dc.sag = number_arg(a, "volts", 44.0);
             return true;
         }},
        {"dc_recover",
         {},
         {},
         [](EventTarget &t, const Json::Value &) {
             t.plant.dc.sag.reset();
             return true;
         }},
        {"dc_fuse", {kIndex, kValue}, {"index", "value"}, dc_fuse},
        {"no_value", {kFields}, {"fields"}, no_value},
        {"value_back", {kFields}, {}, value_back},
    };
    return table;
}

const EventInfo *find_event(const std::string &name) {
    for (const auto &e : events_table())
        if (name == e.name)
            return &e;
    return nullptr;
}

void check_arg(const ArgInfo &rule, const Json::Value &v, const std::string &event) {
    const std::string what = event + " " + rule.key;
    switch (rule.type) {
    case ArgType::Int:
        if (!v.isIntegral() || v.asDouble() < rule.low || v.asDouble() > rule.high)
            throw std::invalid_argument(what + ": expected a whole number from " +
                                        std::to_string(static_cast<int>(rule.low)) + " to " +
                                        std::to_string(static_cast<int>(rule.high)));
        return;
    case ArgType::Number:
        if (!v.isNumeric() || v.asDouble() < rule.low || v.asDouble() > rule.high)
            throw std::invalid_argument(what + ": expected a number from 0 to 655");
        return;
    case ArgType::Phase:
        if (!v.isString() || (v.asString() != "a" && v.asString() != "b" && v.asString() != "c"))
            throw std::invalid_argument(what + ": expected \"a\", \"b\" or \"c\"");
        return;
    case ArgType::Fields:
        if (!v.isArray() || v.empty() ||
            !std::all_of(v.begin(), v.end(), [](const Json::Value &f) { return f.isString(); }))
            throw std::invalid_argument(what + ": expected a list of reading names");
        return;
    }
}

Json::Value text_value(const std::string &key, const std::string &text) {
    if (key == "fields") {
        Json::Value list(Json::arrayValue);
        for (const auto &f : split_list(text, ','))
            list.append(f);
        return list;
    }
    char *end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0')
        return text;
    if (number > -1e9 && number < 1e9 && number == static_cast<int>(number))
        return static_cast<int>(number);
    return number;
}

} // namespace

Event parse_event(const Json::Value &object) {
    if (!object.isObject() || !object["event"].isString())
        throw std::invalid_argument("an event is an object with an \"event\" name");
    Event e;
    e.name = object["event"].asString();
    const EventInfo *info = find_event(e.name);
    if (!info)
        throw std::invalid_argument("unknown event \"" + e.name + "\"");
    if (object.isMember("round") == object.isMember("seconds"))
        throw std::invalid_argument(e.name + ": give either \"round\" or \"seconds\"");
    if (object.isMember("round")) {
        const auto &r = object["round"];
        if (!r.isIntegral() || r.asInt64() < 1 || r.asInt64() > 100000000)
            throw std::invalid_argument(e.name + ": round counts from 1");
        e.round = r.asUInt();
    } else {
        const auto &s = object["seconds"];
        if (!s.isNumeric() || s.asDouble() < 0)
            throw std::invalid_argument(e.name + ": seconds must be 0 or more");
        e.seconds = s.asDouble();
    }
    for (const auto &key : object.getMemberNames()) {
        if (key == "event" || key == "round" || key == "seconds")
            continue;
        auto rule = std::find_if(info->args.begin(), info->args.end(),
                                 [&](const ArgInfo &a) { return key == a.key; });
        if (rule == info->args.end())
            throw std::invalid_argument(e.name + ": unknown setting \"" + key + "\"");
        check_arg(*rule, object[key], e.name);
    }
    for (const char *key : info->required)
        if (!object.isMember(key))
            throw std::invalid_argument(e.name + ": \"" + key + "\" is required");
    e.args = object;
    return e;
}

Event parse_event_text(const std::string &text) {
    const auto parts = split_list(text, ':');
    if (parts.size() < 2)
        throw std::invalid_argument("event \"" + text + "\": expected WHEN:NAME[:key=value]...");
    Json::Value object(Json::objectValue);
    const std::string &when = parts[0];
    if (!when.empty() && when.back() == 's')
        object["seconds"] = to_double(when.substr(0, when.size() - 1), 0, 1e9, "event seconds");
    else
        object["round"] = static_cast<Json::UInt>(to_unsigned(when, 1, 100000000, "event round"));
    object["event"] = parts[1];
    for (size_t i = 2; i < parts.size(); ++i) {
        const auto eq = parts[i].find('=');
        if (eq == std::string::npos)
            throw std::invalid_argument("event \"" + text + "\": expected key=value");
        const std::string key = parts[i].substr(0, eq);
        object[key] = text_value(key, parts[i].substr(eq + 1));
    }
    return parse_event(object);
}

bool apply_event(const Event &event, EventTarget &target) {
    const EventInfo *info = find_event(event.name);
    return info && info->apply(target, event.args);
}

void Scenario::add(Event event) {
    events.push_back(std::move(event));
    fired.push_back(false);
}

std::vector<Event> Scenario::at_round(unsigned round) const {
    std::vector<Event> due;
    for (const auto &e : events)
        if (e.round && *e.round == round)
            due.push_back(e);
    return due;
}

std::vector<Event> Scenario::due_by(double seconds) {
    std::vector<Event> due;
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].seconds && !fired[i] && *events[i].seconds <= seconds) {
            fired[i] = true;
            due.push_back(events[i]);
        }
    }
    return due;
}

} // namespace sim
