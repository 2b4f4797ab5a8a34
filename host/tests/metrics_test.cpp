// The metrics as a scrape reads them: every counter and every alarm the device can raise there
// before the first event, one meaning per label, and a module's fault as a reading and an alarm.
#include "framework/pmbus_protocol.h"
#include "host/common/catalogue.h"
#include "host/http/metrics.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

// The value of the sample `series` (name and labels as written), "" when there is none.
std::string sample(const std::string &text, const std::string &series) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(series + " ", 0) == 0)
            return line.substr(series.size() + 1);
    return "";
}

size_t samples_of(const std::string &text, const std::string &family) {
    size_t count = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        count += line.rfind(family + "{", 0) == 0;
    return count;
}

const std::string kDevice = R"(data_id="1",name="rack-a")";

std::string alarm(const std::string &id) {
    return "mpx23_alarm_active{" + kDevice + ",alarm=\"" + id + "\",alarm_name=\"" +
           host::catalogue::alarm_name(id) + "\"}";
}

struct Metrics : ::testing::Test {
    Metrics() : site({1}) {
        site.set_name(1, "rack-a");
        host::DeviceConfig config;
        config.alarm_settings["210600340010"] = 0; // DC voltage high off
        site.set_alarms(config);
    }
    std::string text() const { return host::metrics_text(site, "1.0", std::nullopt); }
    host::SiteState site;
};

TEST_F(Metrics, CountersAndAlarmsAreThereBeforeTheirFirstEvent) {
    const std::string t = text();
    for (const char *reason : host::kRoundFailureReasons)
        EXPECT_EQ(sample(t, "mpx23_rounds_failed_total{" + kDevice + ",reason=\"" + reason + "\"}"),
                  "0")
            << reason;
    EXPECT_EQ(sample(t, "mpx23_frames_dropped_total{" + kDevice + ",reason=\"bad_chksum\"}"), "0");
    EXPECT_EQ(samples_of(t, "mpx23_frames_dropped_total"), static_cast<size_t>(kFrameFaultKinds));
    EXPECT_EQ(sample(t, alarm("220600140010")), "0");
    EXPECT_EQ(sample(t, alarm("210600340010")), ""); // switched off: it can never be raised
    EXPECT_EQ(samples_of(t, "mpx23_alarm_active"), std::size(host::catalogue::kAlarms) - 1);

    // With the alarm profile fixed at 0 the driver raises none.
    host::DeviceConfig quiet;
    quiet.settings["alarm_profile"] = 0;
    site.set_alarms(quiet);
    EXPECT_EQ(samples_of(text(), "mpx23_alarm_active"), 0u);
}

TEST_F(Metrics, AModuleFaultIsAReadingAndAnAlarmAndTheShapeIsInfo) {
    host::DecodedBlock block;
    block.modules.resize(3);
    block.modules[1].fault = 3;
    block.modules[2].charge_mode = 1;
    block.inputs.resize(2);
    block.dc.m_count = 2;
    block.param47_a = 5350;
    host::RoundCompleted round;
    round.data_id = 1;
    round.decoded = &block;
    site.round_completed(round);
    site.alarm_changed({0, 1, "t", "host.module2.fault", true, "Rectifier module 2 fault", ""});

    std::string t = text();
    EXPECT_EQ(sample(t, "mpx23_module_fault{" + kDevice + ",module=\"2\"}"), "1");
    EXPECT_EQ(sample(t, "mpx23_module_fault{" + kDevice + ",module=\"1\"}"), "0");
    EXPECT_EQ(sample(t, alarm("host.module2.fault")), "1");
    EXPECT_EQ(sample(t, alarm("host.module3.fault")), "0");
    EXPECT_EQ(sample(t, alarm("host.module4.fault")), "");
    EXPECT_EQ(sample(t, "mpx23_module_charge_mode{" + kDevice + ",module=\"3\",mode=\"equalise\"}"),
              "1");
    EXPECT_EQ(sample(t, "mpx23_module_charge_mode{" + kDevice + ",module=\"3\",mode=\"float\"}"),
              "0");
    EXPECT_EQ(sample(t, "mpx23_setpoint_volts{" + kDevice + ",parameter=\"float-voltage\"}"),
              "53.5");
    const std::string info = "mpx23_device_info{" + kDevice +
                             R"(,modules="3",ac_inputs="2",battery_groups="2",branches="0"})";
    EXPECT_EQ(sample(t, info), "1");

    // Lost: the readings go, the alarm and the shape stay.
    site.communication_changed({1, true, "no reply"});
    t = text();
    EXPECT_EQ(samples_of(t, "mpx23_module_fault"), 0u);
    EXPECT_EQ(sample(t, alarm("host.module2.fault")), "1");
    EXPECT_EQ(sample(t, info), "1");
}

} // namespace
