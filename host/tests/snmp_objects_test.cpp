// What the SNMP subagent serves, without the agent: readings scaled, none that is not a number
// and none while a plant is not up, every instance under an object its MIB defines.
#include "host/snmp/snmp_objects.h"
#include "host/tests/mib_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using host::Oid;

std::string dotted(const Oid &oid, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += (i ? "." : "") + std::to_string(oid[i]);
    return text;
}

const host::SnmpObject *at(const std::vector<host::SnmpObject> &objects, const std::string &oid) {
    for (const auto &o : objects)
        if (dotted(o.oid, o.oid.size()) == oid)
            return &o;
    return nullptr;
}

const std::string kPlant = "1.3.6.1.4.1.32473.1.2.1.";

struct SnmpObjects : ::testing::Test {
    SnmpObjects() : site({7, 8}) {
        block.dc.voltage = 53.47f;
        block.dc.load_current = NAN;
        block.dc.m_count = 2;
        block.dc.m_values[1] = -12.5f;
        block.modules.resize(2);
        block.modules[1].fault = 1;
        block.modules[1].charge_mode = 1;
        block.inputs.resize(1);
        block.inputs[0].ua = 229.96f;
        block.param47_a = 5350;
        host::RoundCompleted round;
        round.data_id = 7;
        round.decoded = &block;
        site.round_completed(round);
        site.alarm_changed({0, 7, "t", "220600140010", true, "交流输入停电告警", "ua=0.0"});
    }
    std::vector<host::SnmpObject> objects() const { return host::snmp_objects(site, facts); }

    host::SiteState site;
    host::DecodedBlock block;
    host::SnmpHost facts{"1.0", {{7, "/dev/ttyUSB0", 3}, {8, "sim", 1}}};
};

TEST_F(SnmpObjects, ReadingsAreScaledAndServedOnlyWhileThePlantIsUp) {
    auto all = objects();
    for (size_t i = 1; i < all.size(); ++i)
        ASSERT_LT(all[i - 1].oid, all[i].oid) << "served out of order or twice";
    ASSERT_NE(at(all, kPlant + "8.7"), nullptr);
    EXPECT_EQ(at(all, kPlant + "8.7")->value.number, 5347); // 0.01 V
    EXPECT_EQ(at(all, kPlant + "9.7"), nullptr);            // not a number: no instance
    EXPECT_EQ(at(all, "1.3.6.1.4.1.32473.1.3.1.2.7.2")->value.number, -1250); // battery 2
    EXPECT_EQ(at(all, "1.3.6.1.4.1.32473.1.4.1.2.7.1")->value.number, 2300);  // 0.1 V
    EXPECT_EQ(at(all, "1.3.6.1.4.1.32473.1.5.1.4.7.2")->value.number, 2);     // equalise(2)
    EXPECT_EQ(at(all, "1.3.6.1.4.1.32473.1.5.1.5.7.2")->value.number, 1);     // fault: true
    EXPECT_EQ(at(all, "1.3.6.1.4.1.32473.1.8.1.3.7.1")->value.number, 5350);  // float-voltage
    EXPECT_EQ(at(all, kPlant + "14.7")->value.number, 1);
    EXPECT_EQ(at(all, "1.3.6.1.4.1.32473.1.7.1.2.7.1")->value.text, "220600140010");
    EXPECT_EQ(at(all, kPlant + "4.7")->value.number, 3);
    // The plant not polled yet: waiting(1), and nothing read.
    EXPECT_EQ(at(all, kPlant + "5.8")->value.number, 1);
    EXPECT_EQ(at(all, kPlant + "8.8"), nullptr);

    site.communication_changed({7, true, "no reply"});
    all = objects();
    EXPECT_EQ(at(all, kPlant + "5.7")->value.number, 3); // lost(3)
    for (const auto &o : all)
        EXPECT_NE(dotted(o.oid, o.oid.size()).rfind(kPlant + "8.", 0), 0u)
            << "a reading served while lost";
    EXPECT_EQ(at(all, "1.3.6.1.4.1.32473.1.5.1.2.7.1"), nullptr);
}

TEST_F(SnmpObjects, EverythingServedAndSentIsDefinedInTheMib) {
    const auto mib = testing_host::read_mib(HOST_MIB_FILE);
    ASSERT_GT(mib.size(), 50u) << "the MIB file was not read";
    for (const auto &o : objects()) {
        const auto found = mib.find(dotted(o.oid, o.object_length));
        ASSERT_NE(found, mib.end()) << dotted(o.oid, o.oid.size()) << " is not in the MIB";
        EXPECT_EQ(found->second.macro, "OBJECT-TYPE") << found->second.name;
        EXPECT_EQ(found->second.access, "read-only") << found->second.name;
    }
    const host::SnmpNotification sent[] = {
        host::alarm_notification({0, 7, "t", "220600140010", false, "text", "ua=230"}),
        host::communication_notification({7, true, "no reply"}),
        host::communication_notification({7, false, ""}),
        host::plant_changed_notification({7, "/dev/ttyUSB0", "3 modules before, 6 now"}),
    };
    for (const auto &n : sent) {
        const auto found = mib.find(dotted(n.trap, n.trap.size()));
        ASSERT_NE(found, mib.end()) << dotted(n.trap, n.trap.size());
        EXPECT_EQ(found->second.macro, "NOTIFICATION-TYPE");
        ASSERT_EQ(n.varbinds.size(), 5u);
        for (const auto &v : n.varbinds)
            EXPECT_EQ(mib.at(dotted(v.oid, v.object_length)).access, "accessible-for-notify");
    }
    EXPECT_EQ(sent[0].varbinds[2].value.text, "AC input power failure");
    EXPECT_EQ(sent[3].varbinds[3].value.text,
              "a different power system answers at /dev/ttyUSB0: 3 modules before, 6 now");
}

TEST(SnmpText, IsCutBeforeACharacterThatDoesNotFit) {
    std::string long_text;
    for (int i = 0; i < 100; ++i)
        long_text += "告"; // 3 bytes each
    const std::string cut = host::snmp_utf8(long_text);
    EXPECT_EQ(cut.size(), 255u);
    EXPECT_EQ(host::snmp_utf8(long_text + "x").substr(0, 255), cut);
    EXPECT_EQ(host::snmp_utf8("a" + long_text).size(), 253u); // 1 + 84 * 3
    EXPECT_EQ(host::snmp_utf8("bad \xff byte"), "bad \xEF\xBF\xBD byte");
}

} // namespace
