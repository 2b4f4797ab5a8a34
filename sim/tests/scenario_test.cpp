// Scenarios: events at rounds and at seconds, what they do to the readings, scenario files, and
// the seeded drift of the readings.
#include "sim/scenario_file.h"
#include "sim/tests/sim_test_util.h"

#include <json/reader.h>

#include <stdexcept>

using namespace simtest;
using std::chrono::milliseconds;

namespace {

Json::Value json(const std::string &text) {
    Json::Value v;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors)) << errors;
    return v;
}

void new_round(sim::Simulator &s) {
    ask(s, kDc, 0x47);
}

} // namespace

TEST(Scenario, EventsCheckTheirSettings) {
    const auto e = sim::parse_event_text("3:ac_overvoltage:input=2:phase=b:volts=290.5");
    EXPECT_EQ(e.round, 3u);
    EXPECT_FALSE(e.seconds);
    EXPECT_EQ(e.args["input"].asInt(), 2);
    EXPECT_EQ(e.args["phase"].asString(), "b");
    EXPECT_DOUBLE_EQ(e.args["volts"].asDouble(), 290.5);
    EXPECT_DOUBLE_EQ(*sim::parse_event_text("12.5s:mains_fail").seconds, 12.5);
    EXPECT_EQ(sim::parse_event_text("1:no_value:fields=ac1.ua,dc.v").args["fields"].size(), 2u);

    for (const char *bad :
         {"3", "0:mains_fail", "x:mains_fail", "3:blackout", "3:mains_fail:volts=1",
          "3:ac_overvoltage:phase=d", "3:dc_sag:volts=700", "3:module_fault:module=0",
          "3:module_alarm:module=1", "3:no_value", "3:mains_fail:input"})
        EXPECT_THROW(sim::parse_event_text(bad), std::invalid_argument) << bad;
    EXPECT_THROW(sim::parse_event(json(R"({"event": "dc_sag"})")), std::invalid_argument);
    EXPECT_THROW(sim::parse_event(json(R"({"event": "dc_sag", "round": 1, "seconds": 2})")),
                 std::invalid_argument);
}

TEST(Scenario, MainsFailureAndReturnAtRounds) {
    sim::Config c = frozen();
    c.scenario.add(sim::parse_event_text("2:mains_fail"));
    c.scenario.add(sim::parse_event_text("3:mains_return"));
    sim::Simulator s(c);
    new_round(s);
    EXPECT_EQ(be16(ask(s, kAc, 0x42, kAll).info, 3), 23000);

    new_round(s);
    const auto ac = ask(s, kAc, 0x42, kAll).info;
    for (size_t i = 3; i < 3 + 2 * 9 + 6; ++i)
        EXPECT_EQ(ac[i], 0) << i; // the values, and the user-defined counts between them
    const auto rc = ask(s, kRc, 0x42).info;
    EXPECT_EQ(be16(rc, 4) + be16(rc, 7) + be16(rc, 10), 0);
    const auto dc = ask(s, kDc, 0x42, kAll).info;
    EXPECT_EQ(be16(dc, 2), 4850);   // on batteries
    EXPECT_EQ(be16(dc, 7), 42 / 2); // each group carries half the load, whole amperes
    EXPECT_EQ(ask(s, kAc, 0x44, kAll).info[3], sim::kLow);

    new_round(s);
    EXPECT_EQ(be16(ask(s, kAc, 0x42, kAll).info, 9), 5000);
    EXPECT_EQ(be16(ask(s, kDc, 0x42, kAll).info, 2), 5350);
}

TEST(Scenario, AcDcAndModuleEvents) {
    sim::Config c = frozen();
    for (const char *e : {"1:ac_overvoltage:input=1:phase=c", "1:low_frequency:hz=45", "1:dc_sag",
                          "2:dc_recover", "2:module_add", "3:module_remove:module=1"})
        c.scenario.add(sim::parse_event_text(e));
    sim::Simulator s(c);
    new_round(s);
    const auto ac = ask(s, kAc, 0x42, kAll).info;
    EXPECT_EQ(be16(ac, 7), 29000);
    EXPECT_EQ(be16(ac, 9), 4500);
    EXPECT_EQ(be16(ac, 18), 4500);
    EXPECT_EQ(be16(ask(s, kDc, 0x42, kAll).info, 2), 4400);
    EXPECT_EQ(ask(s, kDc, 0x44, kAll).info[2], sim::kLow);

    new_round(s);
    EXPECT_EQ(be16(ask(s, kDc, 0x42, kAll).info, 2), 5350);
    EXPECT_EQ(ask(s, kRc, 0x42).info[3], 4);
    EXPECT_EQ(ask(s, kRc, 0x43).info[1], 4);

    s.plant().modules[1].user_status = 9; // the second module becomes the first
    new_round(s);
    const auto st = ask(s, kRc, 0x43).info;
    EXPECT_EQ(st[1], 3);
    EXPECT_EQ(st[6], 9);

    // Events that name what the plant does not have change nothing.
    EXPECT_FALSE(s.apply(sim::parse_event_text("1:module_fault:module=9")));
    EXPECT_FALSE(s.apply(sim::parse_event_text("1:mains_fail:input=5")));
    EXPECT_NE(be16(ask(s, kAc, 0x42, kAll).info, 3), 0);
}

TEST(Scenario, TimeEventsFireOnceWhenDue) {
    sim::Config c = frozen();
    c.scenario.add(sim::parse_event_text("5s:module_fault:module=3"));
    c.scenario.add(sim::parse_event_text("10s:mains_fail"));
    sim::Simulator s(c);
    s.advance_to(milliseconds(4999));
    EXPECT_FALSE(s.plant().modules[2].fault);
    s.advance_to(milliseconds(5000));
    EXPECT_TRUE(s.plant().modules[2].fault);
    EXPECT_EQ(s.data_flag(sim::Simulator::kRectifier), sim::Simulator::kAlarmChanged);
    s.plant().modules[2].fault = false;
    s.advance_to(milliseconds(9000));
    EXPECT_FALSE(s.plant().modules[2].fault); // not fired a second time
    s.advance_to(milliseconds(10000));
    EXPECT_EQ(s.plant().ac[1].hz.value(), 0.0);
}

TEST(Scenario, NoValueEventsSwitchFillOnAndOff) {
    sim::Config c = frozen();
    c.scenario.add(sim::parse_event_text("2:no_value:fields=dc.user2,dc.v"));
    c.scenario.add(sim::parse_event_text("3:value_back:fields=dc.v"));
    c.scenario.add(sim::parse_event_text("4:value_back"));
    sim::Simulator s(c);
    auto dc_at = [&](size_t at) { return be16(ask(s, kDc, 0x42, kAll).info, at); };
    const size_t user2 = 2 + 2 + 2 + 1 + 2 * 2 + 1 + 2 * 4 + 1 + 2;
    new_round(s);
    EXPECT_EQ(dc_at(user2), 28);
    new_round(s);
    EXPECT_EQ(dc_at(2), 0x2020);
    EXPECT_EQ(dc_at(user2), 0x2020);
    new_round(s);
    EXPECT_EQ(dc_at(2), 5350);
    EXPECT_EQ(dc_at(user2), 0x2020);
    new_round(s);
    EXPECT_EQ(dc_at(user2), 28);
}

TEST(Scenario, FilesSetEverythingAndRefuseUnknownKeys) {
    sim::Config c;
    sim::load_scenario(c, json(R"({
        "seed": 77, "address": 5, "inputs": 1, "modules": 4, "drift": 0,
        "faults": ["echo:rounds=2"], "no_value": ["ac1.f"],
        "events": [{"round": 2, "event": "mains_fail"}, {"seconds": 3, "event": "dc_sag"}]
    })"));
    EXPECT_EQ(c.seed, 77u);
    EXPECT_EQ(c.address, 5);
    EXPECT_EQ(c.layout.inputs, 1u);
    EXPECT_EQ(c.layout.modules, 4u);
    EXPECT_EQ(c.faults.size(), 1u);
    EXPECT_EQ(c.fill, std::vector<std::string>{"ac1.f"});
    EXPECT_EQ(c.scenario.size(), 2u);
    EXPECT_THROW(sim::load_scenario(c, json(R"({"sed": 1})")), std::invalid_argument);
    EXPECT_THROW(sim::load_scenario(c, json(R"({"events": [{"round": 1, "event": "x"}]})")),
                 std::invalid_argument);
    EXPECT_THROW(sim::load_scenario_file(c, "/nonexistent/scenario.json"), std::invalid_argument);
}

TEST(Scenario, ReadingsDriftALittleAndTheSeedRepeatsThem) {
    auto rounds = [](uint64_t seed) {
        sim::Config c;
        c.seed = seed;
        sim::Simulator s(c);
        std::vector<std::vector<uint8_t>> replies;
        for (int r = 0; r < 4; ++r) {
            new_round(s);
            replies.push_back(ask(s, kAc, 0x42, kAll).info);
            replies.push_back(ask(s, kDc, 0x42, kAll).info);
        }
        return replies;
    };
    const auto a = rounds(5), b = rounds(5), c = rounds(6);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_NE(a[0], a[2]); // AC values move from round to round
    for (size_t r = 0; r < a.size(); r += 2) {
        EXPECT_NEAR(be16(a[r], 3) / 100.0, 230.0, 5.0);
        EXPECT_NEAR(be16(a[r], 9) / 100.0, 50.0, 0.2);
        EXPECT_NEAR(be16(a[r + 1], 2) / 100.0, 53.5, 0.2);
    }
}
