// Alarm evaluation at the end of a round of a two-input power system: each alarm's boundaries,
// the texts the host receives byte for byte, and the settings maps read with insertion.
#include "tests/driver_fixture.h"

#include <json/reader.h>

#include <limits>
#include <map>

using testing_host::AlarmReport;

namespace {

const char kOverVoltage[] = "220600120010";
const char kUnderVoltage[] = "220600130010";
const char kPowerFailure[] = "220600140010";
const char kHighFrequency[] = "220600160010";
const char kLowFrequency[] = "220600170010";
const char kDcLow[] = "210600320010";
const char kDcVeryLow[] = "210600330010";
const char kDcHigh[] = "210600340010";
const char *const kAll[] = {kOverVoltage,  kUnderVoltage, kPowerFailure, kHighFrequency,
                            kLowFrequency, kDcLow,        kDcVeryLow,    kDcHigh};

struct AlarmTest : QuietDriverTest {
    void SetUp() override {
        QuietDriverTest::SetUp();
        full_round(); // two inputs: the two-input check set
        host.clear();
    }

    void enable_all() {
        for (const char *id : kAll)
            dev.alarm_settings[id] = 1;
    }
    void phases(float a1, float b1, float c1, float a2, float b2, float c2) {
        auto &in1 = peek(dev).ac_channels[0];
        auto &in2 = peek(dev).ac_channels[1];
        in1.ua = a1, in1.ub = b1, in1.uc = c1;
        in2.ua = a2, in2.ub = b2, in2.uc = c2;
    }
    void all_phases(float v) { phases(v, v, v, v, v, v); }
    // Runs the end-of-round work and returns each reported alarm by identifier.
    std::map<std::string, AlarmReport> evaluate() {
        host.alarms.clear();
        dev.RunCheckThreshold();
        std::map<std::string, AlarmReport> out;
        for (const auto &r : host.alarms) {
            EXPECT_EQ(out.count(r.id), 0u) << "reported twice: " << r.id;
            out.emplace(r.id, r);
        }
        return out;
    }
    bool active(const char *id) {
        auto reports = evaluate();
        EXPECT_EQ(reports.count(id), 1u) << id;
        return reports.count(id) && reports.at(id).active;
    }
};

TEST_F(AlarmTest, OnlyTheTwoInputProfileChecksAndOnlyEnabledAlarms) {
    enable_all();
    for (int profile : {0, 1, 3, 5}) {
        peek(dev).alarm_profile = profile;
        EXPECT_TRUE(evaluate().empty()) << profile;
    }
    peek(dev).alarm_profile = 2;
    dev.alarm_settings.clear();
    EXPECT_TRUE(evaluate().empty());
    EXPECT_EQ(dev.alarm_settings.size(), 8u); // read with insertion
    for (const char *id : kAll)
        EXPECT_EQ(dev.alarm_settings.at(id), 0) << id;
    EXPECT_TRUE(dev.alarm_thresholds.empty()); // no limit read for a disabled alarm
}

TEST_F(AlarmTest, ReportsEveryEnabledAlarmEachRoundWithItsTexts) {
    dev.alarm_settings[kOverVoltage] = 3;
    // A full round end through the poll cycle: the alarm once, before the block is published.
    dev.RefreshStatus();
    parameters();
    ac(0, body::ac_analogue(std::vector<body::AcLine>(2)));
    reply(0x41, body::rc_analogue(0, 5300, std::vector<body::Module>(3)));
    dc(0, body::dc_analogue());
    ASSERT_EQ(host.alarms.size(), 1u);
    const AlarmReport &r = host.alarms[0];
    EXPECT_EQ(r.setting, 3);
    EXPECT_EQ(r.id, kOverVoltage);
    EXPECT_EQ(r.id2, kOverVoltage);
    EXPECT_EQ(r.detail, "ua1:230 ub1:231 uc1:229 ua2:230 ub2:231 uc2:229");
    EXPECT_EQ(r.text, "001#48V直流系统交流输入电压过高告警");
    EXPECT_FALSE(r.active);
    EXPECT_EQ(r.flag, 1);
    const auto names = host.names({"SendData", "RefreshStatus"});
    EXPECT_EQ(names.front(), "CheckThresholdBool");
    EXPECT_EQ(names[1], "SendSP");

    enable_all();
    dev.alarm_thresholds[kHighFrequency] = 55;
    dev.alarm_thresholds[kLowFrequency] = 45;
    dev.alarm_thresholds[kDcHigh] = 58;
    const auto all = evaluate();
    const std::map<std::string, std::string> texts = {
        {kOverVoltage, "001#48V直流系统交流输入电压过高告警"},
        {kUnderVoltage, "001#48V直流系统交流输入电压过低告警"},
        {kPowerFailure, "001#48V直流系统交流输入停电告警"},
        {kHighFrequency, "001#48V直流系统交流输入频率过高告警"},
        {kLowFrequency, "001#48V直流系统交流输入频率过低告警"},
        {kDcLow, "48V直流系统直流总电压过低告警"},
        {kDcVeryLow, "48V直流系统直流总电压超低告警"},
        {kDcHigh, "直流总电压过高告警"},
    };
    ASSERT_EQ(all.size(), 8u);
    for (const auto &t : texts)
        EXPECT_EQ(all.at(t.first).text, t.second);
    EXPECT_EQ(all.at(kLowFrequency).detail, "f1:50 f2:50");
    EXPECT_EQ(all.at(kDcHigh).detail, "53");
    // A healthy plant: nothing is active (the DC-low limits default to 0.0 V).
    for (const auto &a : all)
        EXPECT_FALSE(a.second.active) << a.first;
}

TEST_F(AlarmTest, AcVoltageAlarmBoundaries) {
    enable_all();
    phases(230, 231, 229, 0, 0, 0); // input 2 sends nothing
    auto r = evaluate();
    EXPECT_EQ(r.at(kOverVoltage).detail, "ua1:230 ub1:231 uc1:229 ua2:0 ub2:0 uc2:0");
    EXPECT_FALSE(r.at(kOverVoltage).active);
    EXPECT_FALSE(r.at(kUnderVoltage).active);
    EXPECT_FALSE(r.at(kPowerFailure).active);

    phases(230, 280, 229, 230, 230, 230);
    EXPECT_FALSE(active(kOverVoltage));
    phases(230, 230, 229, 230, 230, 281);
    EXPECT_TRUE(active(kOverVoltage));

    phases(150, 0, 0, 0, 0, 0);
    r = evaluate();
    EXPECT_FALSE(r.at(kUnderVoltage).active);
    EXPECT_FALSE(r.at(kPowerFailure).active);

    all_phases(0);
    r = evaluate();
    EXPECT_FALSE(r.at(kUnderVoltage).active);
    EXPECT_TRUE(r.at(kPowerFailure).active);

    all_phases(100);
    r = evaluate();
    EXPECT_TRUE(r.at(kUnderVoltage).active);
    EXPECT_TRUE(r.at(kPowerFailure).active);

    // A phase that is not a number raises nothing and ends the power-failure walk.
    phases(0, std::numeric_limits<float>::quiet_NaN(), 0, 0, 0, 0);
    r = evaluate();
    EXPECT_FALSE(r.at(kOverVoltage).active);
    EXPECT_FALSE(r.at(kUnderVoltage).active);
    EXPECT_FALSE(r.at(kPowerFailure).active);

    phases(229.5f, 231.25f, 0.005f, 0, 0, 0);
    EXPECT_EQ(evaluate().at(kOverVoltage).detail,
              "ua1:229.5 ub1:231.25 uc1:0.005 ua2:0 ub2:0 uc2:0");
}

TEST_F(AlarmTest, FrequencyAlarmsAndTheirLimits) {
    dev.alarm_settings[kHighFrequency] = 1;
    dev.alarm_settings[kLowFrequency] = 1;
    // No threshold entry: the limit is 0.0 and is entered into the map.
    peek(dev).ac_channels[0].f = 0;
    peek(dev).ac_channels[1].f = 0.5f;
    auto r = evaluate();
    EXPECT_TRUE(r.at(kHighFrequency).active);
    EXPECT_EQ(dev.alarm_thresholds.count(kHighFrequency), 1u);

    dev.alarm_thresholds[kLowFrequency] = 48;
    peek(dev).ac_channels[0].f = 0;
    peek(dev).ac_channels[1].f = 45;
    r = evaluate();
    EXPECT_TRUE(r.at(kLowFrequency).active);
    EXPECT_EQ(r.at(kLowFrequency).detail, "f1:0 f2:45");
    peek(dev).ac_channels[1].f = 0;
    EXPECT_FALSE(active(kLowFrequency)); // no reading on either input
    peek(dev).ac_channels[0].f = 48;
    EXPECT_FALSE(active(kLowFrequency));
}

TEST_F(AlarmTest, DcVoltageAlarmsAndTheirText) {
    dev.alarm_settings[kDcLow] = 1;
    dev.alarm_settings[kDcVeryLow] = 2;
    dev.alarm_settings[kDcHigh] = 1;
    dev.alarm_thresholds[kDcLow] = 47;
    dev.alarm_thresholds[kDcVeryLow] = 45;
    dev.alarm_thresholds[kDcHigh] = 44;
    peek(dev).dcData.voltage = 44.0f;
    auto r = evaluate();
    EXPECT_TRUE(r.at(kDcLow).active);
    EXPECT_TRUE(r.at(kDcVeryLow).active);
    EXPECT_EQ(r.at(kDcVeryLow).setting, 2);
    EXPECT_EQ(r.at(kDcLow).detail, "44");
    EXPECT_FALSE(r.at(kDcHigh).active); // equal to its limit
    peek(dev).dcData.voltage = 53.1f;
    r = evaluate();
    EXPECT_EQ(r.at(kDcHigh).detail, "53.0999985"); // nine significant digits
    EXPECT_TRUE(r.at(kDcHigh).active);
}

TEST_F(AlarmTest, AMissingInputRaisesNothingAndTheOthersAreEvaluated) {
    enable_all();
    dev.alarm_thresholds[kDcLow] = 47;
    peek(dev).dcData.voltage = 44.0f;
    peek(dev).ac_channels.resize(1);
    auto &in1 = peek(dev).ac_channels[0];
    in1.ua = in1.ub = in1.uc = 0.0f; // the one input has failed
    auto r = evaluate();
    ASSERT_EQ(r.size(), 8u);
    EXPECT_TRUE(r.at(kPowerFailure).active);
    EXPECT_EQ(r.at(kPowerFailure).detail, "ua1:0 ub1:0 uc1:0 ua2:0 ub2:0 uc2:0");
    EXPECT_TRUE(r.at(kDcLow).active);

    in1.ua = in1.ub = in1.uc = 230.0f;
    in1.f = 50.0f;
    r = evaluate();
    EXPECT_FALSE(r.at(kPowerFailure).active);
    EXPECT_FALSE(r.at(kUnderVoltage).active);
    EXPECT_TRUE(r.at(kHighFrequency).active); // its limit is 0.0: input 1 alone raises it
    EXPECT_EQ(r.at(kHighFrequency).detail, "f1:50 f2:0");
    in1.ub = 290.0f;
    EXPECT_TRUE(active(kOverVoltage));

    // No input at all: every AC alarm inactive, the DC alarms as usual.
    peek(dev).ac_channels.clear();
    r = evaluate();
    ASSERT_EQ(r.size(), 8u);
    for (const char *id : {kOverVoltage, kUnderVoltage, kPowerFailure, kHighFrequency})
        EXPECT_FALSE(r.at(id).active) << id;
    EXPECT_TRUE(r.at(kDcLow).active);
    EXPECT_NE(peek(dev).block(), nullptr); // the block is refreshed all the same
}

// The alarm profile: chosen by the AC inputs (upward only) or fixed by the device settings.
struct AlarmProfileTest : QuietDriverTest {
    void SetUp() override {
        QuietDriverTest::SetUp();
        dev.data_id = 5;
    }
    void ac_reply(unsigned inputs, int cut = 0) {
        const Bytes b = body::ac_analogue(std::vector<body::AcLine>(inputs));
        peek(dev).parse40_42(b.data(), static_cast<int>(b.size()) - cut);
    }
    int init(const std::string &settings) {
        Json::Value value;
        EXPECT_TRUE(Json::Reader().parse(settings, value)) << settings;
        return dev.Init({}, 5, value);
    }
    const std::string kByInputs = "PMBusPower:AlarmProfile 5 set to 2: the AC distribution "
                                  "reports two or more inputs";
};

TEST_F(AlarmProfileTest, TwoInputsChooseTheCheckSetAndNoReplyLowersIt) {
    ac_reply(1);
    ac_reply(2, 1); // cut short: not a complete reply
    EXPECT_EQ(peek(dev).alarm_profile, 0);
    EXPECT_TRUE(host.log.empty());
    ac_reply(2);
    EXPECT_EQ(peek(dev).alarm_profile, 2);
    EXPECT_EQ(host.log, std::vector<std::string>{kByInputs});
    ac_reply(1);
    ac_reply(3);
    ac_reply(2);
    EXPECT_EQ(peek(dev).alarm_profile, 2);
    EXPECT_EQ(host.log.size(), 1u); // one line per change

    // An alarm active when the plant drops to one input is still reported, and so is its end.
    dev.alarm_settings[kPowerFailure] = 1;
    body::AcLine dead;
    dead.ua = dead.ub = dead.uc = 0;
    Bytes failed = body::ac_analogue({dead, dead});
    ASSERT_GT(peek(dev).parse40_42(failed.data(), static_cast<int>(failed.size())), 0);
    dev.RunCheckThreshold();
    ASSERT_EQ(host.alarms.size(), 1u);
    EXPECT_TRUE(host.alarms[0].active);
    ac_reply(1);
    dev.RunCheckThreshold();
    ASSERT_EQ(host.alarms.size(), 2u);
    EXPECT_FALSE(host.alarms[1].active);
}

TEST_F(AlarmProfileTest, TheDeviceSettingOverridesTheInputs) {
    // 0: no checks, whatever the inputs.
    ASSERT_EQ(init(R"({"alarm_profile": 0, "address": 3})"), 1);
    EXPECT_EQ(dev.address(), 3);
    ac_reply(2);
    EXPECT_EQ(peek(dev).alarm_profile, 0);
    EXPECT_TRUE(host.log.empty()); // 0 was the profile already: no change

    // 2 on a one-input plant: the checks run on the one input.
    ASSERT_EQ(init(R"({"alarm_profile": 2})"), 1);
    EXPECT_EQ(peek(dev).alarm_profile, 2);
    ASSERT_EQ(init(R"({"alarm_profile": 0})"), 1);
    EXPECT_EQ(peek(dev).alarm_profile, 0);
    EXPECT_EQ(host.log, (std::vector<std::string>{
                            "PMBusPower:AlarmProfile 5 set to 2 by the device settings",
                            "PMBusPower:AlarmProfile 5 set to 0 by the device settings"}));

    // Without the setting the inputs choose again.
    host.clear();
    ASSERT_EQ(init("{}"), 1);
    ac_reply(2);
    EXPECT_EQ(peek(dev).alarm_profile, 2);
    EXPECT_EQ(host.log, std::vector<std::string>{kByInputs});

    // Anything but 0 or 2 is refused, and nothing of the settings is taken.
    for (const char *bad : {R"({"alarm_profile": 1, "address": 9})", R"({"alarm_profile": 3})",
                            R"({"alarm_profile": -1})", R"({"alarm_profile": "2"})",
                            R"({"alarm_profile": 2.5})", R"({"alarm_profile": true})",
                            R"({"alarm_profile": null})", R"({"alarm_profile": [2]})"}) {
        host.clear();
        EXPECT_EQ(init(bad), 0) << bad;
        EXPECT_EQ(host.log, std::vector<std::string>{
                                "PMBusPower:SettingError 5 alarm_profile: expected 0 or 2"});
    }
    EXPECT_EQ(peek(dev).alarm_profile, 2);
    EXPECT_EQ(dev.address(), 3);
}

TEST_F(AlarmProfileTest, AOneInputPlantWithTheSettingReportsItsAlarms) {
    ASSERT_EQ(init(R"({"alarm_profile": 2})"), 1);
    dev.alarm_settings[kPowerFailure] = 1;
    dev.alarm_settings[kDcLow] = 1;
    dev.alarm_thresholds[kDcLow] = 47;
    round(0, 0, 0, /*lines=*/1);
    ASSERT_EQ(host.alarms.size(), 2u);
    EXPECT_EQ(host.alarms[0].id, kPowerFailure);
    EXPECT_FALSE(host.alarms[0].active);
    EXPECT_EQ(host.alarms[0].detail, "ua1:230 ub1:231 uc1:229 ua2:0 ub2:0 uc2:0");
    EXPECT_EQ(host.alarms[1].id, kDcLow);
}

} // namespace
