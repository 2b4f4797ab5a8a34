// Round end and cache load of the buffered device base, as the host sees them.
#include "tests/probe_device.h"
#include "tests/recording_host.h"

#include <gtest/gtest.h>

#include <vector>

using testing_host::RecordingHost;

namespace {

struct BufferedDeviceTest : ::testing::Test {
    RecordingHost host;
    ProbeDevice dev;
};

TEST_F(BufferedDeviceTest, RoundDoneRunsItsStepsInOrder) {
    dev.block_len = 12;
    dev.ao_names = {"missing", "battery_v"};
    // The derived class fills the analogue values in its threshold run: they are checked in
    // the same round.
    dev.on_threshold_run = [this] {
        testing_host::Call step;
        step.name = "RunCheckThreshold";
        host.calls.push_back(step);
        dev.ao_values["battery_v"] = 2.5f;
    };
    dev.pending_rules.resize(2);
    dev.RoundDone();

    EXPECT_EQ(dev.data_ready, 1);
    EXPECT_EQ(dev.comm_status, 1);
    EXPECT_EQ(dev.threshold_runs, 1);
    const std::vector<std::string> expected = {
        "RunCheckThreshold",     "CheckAOReport",    "CheckThreshold", "SendSP", "Reset",
        "DoBatchCheckThreshold", "SaveDeviceHistory"};
    EXPECT_EQ(host.names(), expected);
    ASSERT_EQ(host.calls.size(), expected.size());
    // Only the name present in ao_values is checked, with its value, "" and 1.
    EXPECT_EQ(host.calls[1].text, "battery_v");
    EXPECT_EQ(host.calls[1].value, 2.5f);
    EXPECT_EQ(host.calls[2].text, "battery_v");
    EXPECT_TRUE(host.calls[2].bytes.empty());
    EXPECT_EQ(host.calls[2].number, 1);
    // The same block, by pointer and length, is published and stored.
    const auto *sp = host.last("SendSP");
    const auto *history = host.last("SaveDeviceHistory");
    EXPECT_EQ(sp->number, 5312);
    EXPECT_EQ(sp->value, 0.0f); // the flag is false
    EXPECT_EQ(sp->bytes.size(), 12u);
    EXPECT_EQ(sp->data, history->data);
    EXPECT_EQ(sp->data, dev.block()->data());
    // The rules reached the batch check and were emptied afterwards.
    EXPECT_EQ(host.batch_rules_seen, 2u);
    EXPECT_TRUE(dev.pending_rules.empty());
    EXPECT_FALSE(dev.last_update.is_special());
}

TEST_F(BufferedDeviceTest, ReportPendingFollowsBothHostResults) {
    dev.block_len = 0;
    dev.ao_names = {"a"};
    dev.ao_values["a"] = 1.0f;

    host.batch_result = true;
    dev.RoundDone();
    EXPECT_TRUE(dev.report_pending);

    host.batch_result = false;
    host.ao_report_result = true;
    dev.RoundDone();
    EXPECT_TRUE(dev.report_pending);

    host.ao_report_result = false;
    dev.report_pending = true;
    dev.RoundDone();
    EXPECT_FALSE(dev.report_pending);
}

TEST_F(BufferedDeviceTest, RoundDoneWithoutABlockPublishesNothing) {
    dev.RoundDone();
    EXPECT_EQ(dev.data_ready, 1);
    EXPECT_EQ(dev.comm_status, 1);
    EXPECT_EQ(host.names(), (std::vector<std::string>{"Reset", "DoBatchCheckThreshold"}));
}

TEST_F(BufferedDeviceTest, LoadFromCacheCreatesReusesAndReplacesTheBlock) {
    std::vector<unsigned char> image(300);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<unsigned char>(i * 7);
    EXPECT_EQ(dev.LoadFromCache(image.data(), 300), 1);
    ASSERT_NE(dev.block(), nullptr);
    EXPECT_EQ(*dev.block(), image);
    EXPECT_EQ(dev.data_ready, 1);
    EXPECT_FALSE(dev.last_update.is_special());

    const auto *first = dev.block();
    image[0] = 99;
    EXPECT_EQ(dev.LoadFromCache(image.data(), 300), 1);
    EXPECT_EQ(dev.block(), first); // same length: the block is reused
    EXPECT_EQ((*dev.block())[0], 99);

    EXPECT_EQ(dev.LoadFromCache(image.data(), 200), 1);
    EXPECT_EQ(dev.block_size(), 200);
    EXPECT_EQ(*dev.block(), std::vector<unsigned char>(image.begin(), image.begin() + 200));

    // The text form hands its bytes and length on.
    EXPECT_EQ(dev.LoadFromCache(std::string("abc")), 1);
    EXPECT_EQ(*dev.block(), (std::vector<unsigned char>{'a', 'b', 'c'}));

    // An empty cache entry makes an empty block and a ready device.
    ProbeDevice fresh;
    EXPECT_EQ(fresh.LoadFromCache(image.data(), 0), 1);
    ASSERT_NE(fresh.block(), nullptr);
    EXPECT_EQ(fresh.block_size(), 0);
    EXPECT_EQ(fresh.data_ready, 1);
    EXPECT_TRUE(host.calls.empty()); // a cache load calls no host service
}

TEST_F(BufferedDeviceTest, LoadFromCacheRefusesImpossibleInput) {
    unsigned char byte = 1;
    EXPECT_EQ(dev.LoadFromCache(&byte, -1), 0);
    EXPECT_EQ(dev.LoadFromCache(nullptr, 10), 0);
    EXPECT_EQ(dev.block(), nullptr);
    EXPECT_EQ(dev.data_ready, 0);
    EXPECT_TRUE(dev.last_update.is_special());
}

TEST_F(BufferedDeviceTest, InitSettingReachesTheEngine) {
    Json::Value settings;
    settings["address"] = 9;
    settings["anything"] = "else";
    EXPECT_EQ(dev.Init({}, 42, settings), 1);
    EXPECT_EQ(dev.data_id, 42u);
    EXPECT_EQ(dev.address(), 9);
}

// Where the first data member of a class derived from the engine sits.
struct FirstMemberAfterTheEngine : PMBusProtocol {
    int process_payload() override { return 0; }
    int32_t first = 0;
};

TEST_F(BufferedDeviceTest, TheBlockMembersComeFirstInTheirOrder) {
    FirstMemberAfterTheEngine probe;
    const auto offset = [](const void *object, const void *member) {
        return static_cast<const char *>(member) - static_cast<const char *>(object);
    };
    const auto first = offset(&probe, &probe.first);
    const auto members = dev.member_offsets();
    EXPECT_EQ(members.record_len, first);
    EXPECT_GT(members.record_buf, members.record_len);
    EXPECT_LT(members.record_buf, members.steady_now); // this implementation's additions follow
}

} // namespace
