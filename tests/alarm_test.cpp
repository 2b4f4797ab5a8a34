// Alarm evaluation at the end of a round of a two-input power system: each alarm's boundaries,
// the texts the host receives byte for byte, and the settings maps read with insertion.
#include "tests/driver_fixture.h"

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
        auto &in1 = dev.ac_channels[0];
        auto &in2 = dev.ac_channels[1];
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
        dev.alarm_profile = profile;
        EXPECT_TRUE(evaluate().empty()) << profile;
    }
    dev.alarm_profile = 2;
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
    dev.ac_channels[0].f = 0;
    dev.ac_channels[1].f = 0.5f;
    auto r = evaluate();
    EXPECT_TRUE(r.at(kHighFrequency).active);
    EXPECT_EQ(dev.alarm_thresholds.count(kHighFrequency), 1u);

    dev.alarm_thresholds[kLowFrequency] = 48;
    dev.ac_channels[0].f = 0;
    dev.ac_channels[1].f = 45;
    r = evaluate();
    EXPECT_TRUE(r.at(kLowFrequency).active);
    EXPECT_EQ(r.at(kLowFrequency).detail, "f1:0 f2:45");
    dev.ac_channels[1].f = 0;
    EXPECT_FALSE(active(kLowFrequency)); // no reading on either input
    dev.ac_channels[0].f = 48;
    EXPECT_FALSE(active(kLowFrequency));
}

TEST_F(AlarmTest, DcVoltageAlarmsAndTheirText) {
    dev.alarm_settings[kDcLow] = 1;
    dev.alarm_settings[kDcVeryLow] = 2;
    dev.alarm_settings[kDcHigh] = 1;
    dev.alarm_thresholds[kDcLow] = 47;
    dev.alarm_thresholds[kDcVeryLow] = 45;
    dev.alarm_thresholds[kDcHigh] = 44;
    dev.dcData.voltage = 44.0f;
    auto r = evaluate();
    EXPECT_TRUE(r.at(kDcLow).active);
    EXPECT_TRUE(r.at(kDcVeryLow).active);
    EXPECT_EQ(r.at(kDcVeryLow).setting, 2);
    EXPECT_EQ(r.at(kDcLow).detail, "44");
    EXPECT_FALSE(r.at(kDcHigh).active); // equal to its limit
    dev.dcData.voltage = 53.1f;
    r = evaluate();
    EXPECT_EQ(r.at(kDcHigh).detail, "53.0999985"); // nine significant digits
    EXPECT_TRUE(r.at(kDcHigh).active);
}

TEST_F(AlarmTest, NoCheckRunsOnInputRecordsThatDoNotExist) {
    enable_all();
    dev.ac_channels.resize(1);
    EXPECT_TRUE(evaluate().empty());
    EXPECT_NE(dev.block(), nullptr); // the block is refreshed all the same
}

} // namespace
