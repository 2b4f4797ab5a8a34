// The device data block, byte for byte, as the host publishes and stores it.
#include "tests/driver_fixture.h"

#include <cstring>

namespace {

struct DataBlockTest : QuietDriverTest {

    template <class T> static Bytes image(const T &record) {
        Bytes b(sizeof record);
        std::memcpy(b.data(), &record, sizeof record);
        return b;
    }
    static uint32_t u32_at(const std::vector<unsigned char> &b, size_t at) {
        uint32_t v;
        std::memcpy(&v, b.data() + at, sizeof v);
        return v;
    }
};

TEST_F(DataBlockTest, TwoInputsThreeModulesLaidOutByteForByte) {
    dev.data_id = 0x11223344;
    full_round(2, 3);
    const auto &block = host.last("SendSP")->bytes;
    ASSERT_EQ(block.size(), 381u);
    EXPECT_EQ(*peek(dev).block(), block);

    Bytes expected = image(peek(dev).rcData);
    for (const auto &m : peek(dev).rc_channels)
        expected = cat(expected, image(m));
    expected = cat(expected, image(peek(dev).acData));
    for (const auto &l : peek(dev).ac_channels)
        expected = cat(expected, image(l));
    expected = cat(expected, image(peek(dev).dcData));
    expected = cat(expected, {0x02, 0x01, 0x04, 0x03}); // param47_a, param47_b, little-endian
    EXPECT_EQ(block, expected);

    // The group records start at 0, 102 and 183, each with the device's identifier.
    for (size_t at : {0u, 102u, 183u})
        EXPECT_EQ(u32_at(block, at), 0x11223344u) << at;
    float ua = 0, voltage = 0;
    std::memcpy(&ua, block.data() + 139, 4);
    std::memcpy(&voltage, block.data() + 183 + 4, 4);
    EXPECT_EQ(ua, 230.0f);
    EXPECT_EQ(voltage, 53.0f);
    EXPECT_EQ(block[377], 0x02);
    EXPECT_EQ(block[379], 0x04);
    // The three time stamps are equal and name this year.
    const Bytes rc_time(block.begin() + 38, block.begin() + 45);
    EXPECT_EQ(Bytes(block.begin() + 102 + 30, block.begin() + 102 + 37), rc_time);
    EXPECT_EQ(Bytes(block.begin() + 183 + 187, block.begin() + 183 + 194), rc_time);
    uint16_t year;
    std::memcpy(&year, rc_time.data(), 2);
    EXPECT_GE(year, 2024);
}

TEST_F(DataBlockTest, EmptyListsGiveTheFixedParts) {
    full_round(0, 0);
    EXPECT_EQ(host.last("SendSP")->bytes.size(), 280u);
}

TEST_F(DataBlockTest, BlockIsReusedAndFollowsTheLists) {
    full_round(2, 3);
    const void *first = host.last("SendSP")->data;
    full_round(2, 3);
    EXPECT_EQ(host.last("SendSP")->data, first); // overwritten in place
    full_round(2, 4);                            // a module added
    EXPECT_EQ(host.last("SendSP")->bytes.size(), 400u);
    EXPECT_EQ(peek(dev).block_length(), 400);
}

TEST_F(DataBlockTest, CachedBlockOfAnotherLengthIsReplacedAndStamped) {
    dev.data_id = 99;
    std::vector<unsigned char> cached(500, 0xEE);
    ASSERT_EQ(dev.LoadFromCache(cached.data(), 500), 1);
    full_round(2, 3);
    const auto &block = host.last("SendSP")->bytes;
    ASSERT_EQ(block.size(), 381u);
    for (size_t at : {0u, 102u, 183u})
        EXPECT_EQ(u32_at(block, at), 99u) << at;
    EXPECT_EQ(block[4], 0x00); // reserved bytes: zero, never the cached 0xEE
}

} // namespace
