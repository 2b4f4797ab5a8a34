// A data block as the host shows it: decoded once (host/block), written as its JSON document
// (host/json), and as the table and CSV of the terminal (host/console).
#include "host/console/table.h"
#include "host/json/documents.h"
#include "host/tests/fixed_time_zone.h"
#include "host/tests/json_reading.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

using host::DecodedBlock;

void put(std::vector<unsigned char> &out, const void *bytes, size_t n) {
    const auto *p = static_cast<const unsigned char *>(bytes);
    out.insert(out.end(), p, p + n);
}

// A block laid out as the driver lays it out, with a distinct value in every field read below.
std::vector<unsigned char> sample_block(unsigned modules = 2, unsigned inputs = 2) {
    const uint8_t stamp[7] = {0xE8, 0x07, 5, 17, 9, 8, 7}; // 2024-05-17 09:08:07
    rcData rc{};
    rc.data_id = 42;
    rc.out_v = 53.5f;
    rc.channel_count = static_cast<uint8_t>(modules);
    std::memcpy(rc.time, stamp, sizeof stamp);
    acData ac{};
    ac.ia = 3.5f;
    ac.channel_count = static_cast<uint8_t>(inputs);
    std::memcpy(ac.time, stamp, sizeof stamp);
    dcData dc{};
    dc.voltage = 53.5f;
    dc.load_current = 41.25f;
    dc.n_count = 4;
    dc.n_values[3] = 12.5f;
    dc.alert_p_count = 3;
    dc.alert_p[2] = 7;
    std::memcpy(dc.time, stamp, sizeof stamp);

    std::vector<unsigned char> block;
    put(block, &rc, sizeof rc);
    for (unsigned i = 0; i < modules; ++i) {
        mpx23_rc_channel m{};
        m.out_i = 10.0f + static_cast<float>(i);
        m.on_off = static_cast<uint8_t>(i % 2); // module 2 off
        m.p41_44_count = 7;
        m.p41_44[6] = static_cast<uint8_t>(0xA0 + i);
        put(block, &m, sizeof m);
    }
    put(block, &ac, sizeof ac);
    for (unsigned i = 0; i < inputs; ++i) {
        mpx23_ac_channel c{};
        c.ua = 231.0f;
        c.ub = 230.0f;
        c.uc = 229.0f + static_cast<float>(i);
        c.f = 50.0f;
        put(block, &c, sizeof c);
    }
    put(block, &dc, sizeof dc);
    const uint16_t a = 5350, b = 5640;
    put(block, &a, sizeof a);
    put(block, &b, sizeof b);
    return block;
}

// Packed members are compared by value: a reference to one may be misaligned.
template <class T> T copy(T value) {
    return value;
}

bool decodes(const std::vector<unsigned char> &block, DecodedBlock &out, std::string &error) {
    return host::decode_block(block.data(), block.size(), out, error);
}

TEST(BlockView, DecodesEveryRecordAtItsOffset) {
    const auto block = sample_block();
    ASSERT_EQ(block.size(), 280u + 2 * 19 + 2 * 22);
    EXPECT_EQ(host::block_size(2, 2), block.size());
    DecodedBlock d;
    std::string error;
    ASSERT_TRUE(decodes(block, d, error)) << error;
    EXPECT_EQ(copy(d.rc.data_id), 42u);
    EXPECT_EQ(copy(d.rc.out_v), 53.5f);
    ASSERT_EQ(d.modules.size(), 2u);
    EXPECT_EQ(copy(d.modules[1].out_i), 11.0f);
    EXPECT_EQ(d.modules[1].on_off, 1);
    EXPECT_EQ(d.modules[1].p41_44[6], 0xA1);
    EXPECT_EQ(copy(d.ac.ia), 3.5f);
    ASSERT_EQ(d.inputs.size(), 2u);
    EXPECT_EQ(copy(d.inputs[1].uc), 230.0f);
    EXPECT_EQ(copy(d.dc.load_current), 41.25f);
    EXPECT_EQ(copy(d.dc.n_values[3]), 12.5f);
    EXPECT_EQ(d.dc.alert_p[2], 7);
    EXPECT_EQ(d.param47_a, 5350);
    EXPECT_EQ(d.param47_b, 5640);
    EXPECT_EQ(host::time_text(d.dc.time), "2024-05-17 09:08:07");
    const uint8_t never[7] = {}, odd[7] = {0xFF, 0xFF, 200, 1, 2, 3, 4};
    EXPECT_EQ(host::time_text(never), "0000-00-00 00:00:00");
    EXPECT_EQ(host::time_text(odd), "65535-200-01 02:03:04");

    // A power system without modules or inputs still makes a block.
    ASSERT_TRUE(decodes(sample_block(0, 0), d, error)) << error;
    EXPECT_TRUE(d.modules.empty() && d.inputs.empty());
    EXPECT_EQ(d.param47_b, 5640);
}

TEST(BlockView, RefusesBytesThatAreNotOneWholeBlock) {
    DecodedBlock d;
    std::string error;
    auto block = sample_block();
    block.push_back(0);
    EXPECT_FALSE(decodes(block, d, error));
    EXPECT_EQ(error, "block of 363 bytes: 2 rectifier and 2 AC input records make 362");
    block.resize(block.size() - 2);
    EXPECT_FALSE(decodes(block, d, error));

    // Counts that promise more records than there are bytes are not followed.
    block = sample_block();
    block[37] = 200; // rcData.channel_count
    EXPECT_FALSE(decodes(block, d, error));
    EXPECT_NE(error.find("200 rectifier records"), std::string::npos) << error;
    block = sample_block();
    block[45 + 2 * 19 + 16] = 90; // acData.channel_count
    EXPECT_FALSE(decodes(block, d, error));
    EXPECT_NE(error.find("90 AC input records"), std::string::npos) << error;

    EXPECT_FALSE(host::decode_block(nullptr, 0, d, error));
    block.assign(44, 0);
    EXPECT_FALSE(decodes(block, d, error));
}

TEST(BlockView, JsonNamesEveryFieldAndCarriesTheBytes) {
    const auto block = sample_block();
    DecodedBlock d;
    std::string error;
    ASSERT_TRUE(decodes(block, d, error));
    const FixedTimeZone zone(kCentralEurope);
    const Json::Value j =
        testing_host::parsed(host::block_document(7, d, block.data(), block.size()));

    EXPECT_EQ(j["data_id"].asUInt(), 7u);
    EXPECT_EQ(j["time"].asString(), "2024-05-17T09:08:07+02:00");
    EXPECT_EQ(j["dcData"]["voltage"].asDouble(), 53.5);
    EXPECT_EQ(j["dcData"]["n_values"].size(), 4u);
    EXPECT_EQ(j["dcData"]["n_values"][3].asDouble(), 12.5);
    EXPECT_EQ(j["dcData"]["alert_m"].size(), 0u);
    EXPECT_EQ(j["dcData"]["alert_p"][2].asUInt(), 7u);
    EXPECT_EQ(j["dcData"]["time"].asString(), "2024-05-17T09:08:07+02:00");
    EXPECT_EQ(j["dcData"].getMemberNames().size(), 15u);
    EXPECT_EQ(j["rcData"]["reserved"].size(), 29u);
    EXPECT_EQ(j["rcData"]["out_v"].asDouble(), 53.5);
    ASSERT_EQ(j["rc_channels"].size(), 2u);
    EXPECT_EQ(j["rc_channels"][1]["on_off"].asUInt(), 1u);
    EXPECT_EQ(j["rc_channels"][1]["p41_44"][6].asUInt(), 0xA1u);
    EXPECT_TRUE(j["rc_channels"][1]["p41_41"].isArray());
    EXPECT_EQ(j["rc_channels"][1]["p41_41"].size(), 0u); // capacity 0: no byte behind it
    EXPECT_EQ(j["rc_channels"][0].getMemberNames().size(), 11u + 4u); // and the state read out
    EXPECT_EQ(j["acData"]["ia"].asDouble(), 3.5);
    EXPECT_TRUE(j["acData"]["airlock"].isArray());
    EXPECT_EQ(j["ac_channels"][1]["uc"].asDouble(), 230.0);
    EXPECT_EQ(j["param47_a"].asUInt(), 5350u);
    EXPECT_EQ(j["block"].asString(), host::hex(block.data(), block.size()));
    EXPECT_EQ(j["block"].asString().substr(0, 8), "2A000000"); // rcData.data_id, little-endian

    // Single precision values print as written, not as their double expansion.
    d.dc.voltage = 53.1f;
    const std::string line = host::block_document(7, d, block.data(), block.size());
    EXPECT_NE(line.find("\"voltage\":53.1,"), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

TEST(BlockView, TableAndCsvShowTheMainReadings) {
    const auto block = sample_block();
    DecodedBlock d;
    std::string error;
    ASSERT_TRUE(decodes(block, d, error));
    const FixedTimeZone zone(kCentralEurope);
    const std::string table = host::block_table(7, d);
    EXPECT_NE(table.find("device 7  2024-05-17 09:08:07  DC 53.5 V 41.2 A"), std::string::npos)
        << table;
    EXPECT_NE(table.find("AC 231/230/229 231/230/230 V"), std::string::npos) << table;
    EXPECT_NE(table.find("#1 on 10.0 A, #2 off 11.0 A"), std::string::npos) << table;

    const std::string row = host::csv_row(3, "2024-05-17 09:08:09", 7, d);
    EXPECT_EQ(row, "3,2024-05-17T09:08:09+02:00,7,2024-05-17T09:08:07+02:00,53.5,41.25,53.5,10;11,"
                   "1;0,231/230/229;231/230/230,50;50,5350,5640");
    const std::string header = host::csv_header();
    EXPECT_EQ(std::count(row.begin(), row.end(), ','),
              std::count(header.begin(), header.end(), ','));
}

// A list shows what its count announced and the driver wrote this time, never bytes an earlier
// reply left behind; each module's state bytes read the same in the document and the table.
TEST(BlockView, ListsHoldTheAnnouncedValuesAndModulesTheirState) {
    const auto block = sample_block();
    DecodedBlock d;
    std::string error;
    ASSERT_TRUE(decodes(block, d, error));
    d.dc.m_count = 1;
    d.dc.m_values[1] = 99.0f; // left from an earlier reply
    d.dc.n_count = 21;        // more than fit: the driver took none
    d.dc.p_count = 9;
    d.dc.alert_m_count = 50; // alarm bytes: the first 42 are kept
    d.dc.alert_m[41] = 3;
    d.ac.airlock_count = 3;
    d.modules[0].p41_43_count = 1;
    d.modules[0].p41_43[0] = 0x55;
    d.modules[0].p41_44_count = 6; // user bytes are kept only when they fill their room
    d.modules[1].p41_43_count = 2;
    d.modules[0].limit = 1;
    d.modules[0].charge_mode = 1;
    d.modules[1].charge_mode = 7;
    d.modules[1].fault = 2;
    const Json::Value j =
        testing_host::parsed(host::block_document(7, d, block.data(), block.size()));
    const Json::Value &dc = j["dcData"];
    EXPECT_EQ(dc["m_values"].size(), 1u);
    EXPECT_EQ(dc["n_values"].size(), 0u);
    EXPECT_EQ(dc["n_count"].asUInt(), 21u);
    EXPECT_EQ(dc["p_values"].size(), 9u);
    ASSERT_EQ(dc["alert_m"].size(), 42u);
    EXPECT_EQ(dc["alert_m"][41].asUInt(), 3u);
    EXPECT_EQ(dc["alert_p"].size(), 3u);
    EXPECT_EQ(j["acData"]["airlock"].size(), 3u);
    EXPECT_EQ(j["acData"]["p40_43"].size(), 0u);
    EXPECT_EQ(j["rcData"]["reserved"].size(), 29u); // no count: every byte

    const Json::Value &first = j["rc_channels"][0], &second = j["rc_channels"][1];
    ASSERT_EQ(first["p41_43"].size(), 1u);
    EXPECT_EQ(first["p41_43"][0].asUInt(), 0x55u);
    EXPECT_EQ(first["p41_44"].size(), 0u);
    EXPECT_EQ(second["p41_43"].size(), 0u);
    EXPECT_EQ(second["p41_44"].size(), 7u);
    EXPECT_TRUE(first["on"].asBool());
    EXPECT_TRUE(first["current_limited"].asBool());
    EXPECT_EQ(first["charge"].asString(), "equalise");
    EXPECT_FALSE(first["failed"].asBool());
    EXPECT_EQ(first["limit"].asUInt(), 1u); // the raw bytes stay
    EXPECT_FALSE(second["on"].asBool());
    EXPECT_FALSE(second["current_limited"].asBool());
    EXPECT_EQ(second["charge"].asString(), "unknown (7)");
    EXPECT_TRUE(second["failed"].asBool());
    d.modules[1].charge_mode = 2;
    const Json::Value again =
        testing_host::parsed(host::block_document(7, d, block.data(), block.size()));
    EXPECT_EQ(again["rc_channels"][1]["charge"].asString(), "test");
    EXPECT_NE(host::block_table(7, d).find("modules (equalise): #1 on 10.0 A limit, #2 off 11.0 A "
                                           "fault"),
              std::string::npos)
        << host::block_table(7, d);
}

// An alarm the host knows carries its English name beside the driver's text; its time is ISO in
// the document and stays short in the line.
TEST(BlockView, AlarmsCarryTheirName) {
    const FixedTimeZone zone(kCentralEurope);
    host::AlarmRecord a{0, 7, "2026-12-08 14:54:04", "220600140010", true, "停电", "ua1:0"};
    EXPECT_EQ(host::alarm_text(a), "2026-12-08 14:54:04 device 7 alarm raised  220600140010 AC "
                                   "input power failure (停电) [ua1:0]");
    Json::Value j = testing_host::parsed(host::alarm_document(a));
    EXPECT_EQ(j["name"].asString(), "AC input power failure");
    EXPECT_EQ(j["text"].asString(), "停电");
    EXPECT_EQ(j["time"].asString(), "2026-12-08T14:54:04+01:00");
    a.signal_id = "999999999999";
    a.raised = false;
    EXPECT_EQ(host::alarm_text(a),
              "2026-12-08 14:54:04 device 7 alarm cleared 999999999999 停电 [ua1:0]");
    EXPECT_EQ(testing_host::parsed(host::alarm_document(a))["name"].asString(), "");
}

} // namespace

// The documents are written as text, straight from the records: the text must be exactly what
// the same document read back as a value writes, which holds only when its members are in order,
// its strings escaped and its numbers in their shortest faithful form, whatever the link brought.
TEST(BlockView, TheDocumentIsWrittenAsItsValueWritesIt) {
    const FixedTimeZone zone(kCentralEurope);
    for (const auto &[modules, inputs] : {std::pair{0u, 0u}, {2u, 2u}, {5u, 3u}}) {
        const auto block = sample_block(modules, inputs);
        DecodedBlock d;
        std::string error;
        ASSERT_TRUE(decodes(block, d, error)) << error;
        d.dc.voltage = std::numeric_limits<float>::quiet_NaN();
        d.dc.load_current = std::numeric_limits<float>::infinity();
        d.rc.out_v = -std::numeric_limits<float>::infinity();
        d.ac.ia = -0.0f;
        d.ac.ib = 1e-12f;
        d.ac.ic = -12.345f;
        d.dc.n_values[0] = 3.4e38f;
        if (modules > 0)
            d.modules[0].charge_mode = 9; // "unknown (9)"
        const std::string text = host::block_document(7, d, block.data(), block.size());
        EXPECT_EQ(text, testing_host::written(testing_host::parsed(text))); // one value, as written
        EXPECT_NE(text.find("\"voltage\":null"), std::string::npos) << text;
        EXPECT_NE(text.find("\"load_current\":1e+9999"), std::string::npos) << text;
        EXPECT_NE(text.find("\"out_v\":-1e+9999"), std::string::npos) << text;
    }
    // Members beside the block's own fall in place; of a key given twice the later counts, and
    // one of the block's own keys takes its place, as they would in a value.
    const auto block = sample_block();
    DecodedBlock d;
    std::string error;
    ASSERT_TRUE(decodes(block, d, error)) << error;
    const std::string text = host::block_document(
        7, d, block.data(), block.size(),
        {{"zz", "1"}, {"data_id", "\"mine\""}, {"a", "[]"}, {"b", "2"}, {"zz", "3"}});
    Json::Value expected =
        testing_host::parsed(host::block_document(7, d, block.data(), block.size()));
    expected["zz"] = 3;
    expected["data_id"] = "mine";
    expected["a"] = Json::Value(Json::arrayValue);
    expected["b"] = 2;
    EXPECT_EQ(text, testing_host::written(expected));
}
