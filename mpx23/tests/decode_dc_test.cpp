// DC distribution replies (group 0x42): analogue values and alarms.
#include "tests/driver_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using DcDecodeTest = DriverTest;

int decode(MPX23 &dev, int (MPX23::*decoder)(const unsigned char *, int), const Bytes &b) {
    return (dev.*decoder)(b.data(), static_cast<int>(b.size()));
}

TEST_F(DcDecodeTest, AnalogueReplyConvertsEachList) {
    const Bytes b = {0x14, 0xEA, 0x03, 0xE8, 2, 0x00, 0x64, 0x00, 0x00, 1, 0x01, 0xF4, 0};
    CaptureStdout();
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_42, b), 13);
    EXPECT_EQ(GetCapturedStdout(), "parse 42_42 m 2 2\nparse 42_42 n 1 20\nparse 42_42 p 0 9\n");
    EXPECT_EQ(got(peek(dev).dcData.voltage), 53.0f);
    EXPECT_EQ(got(peek(dev).dcData.load_current), 10.0f);
    EXPECT_EQ(got(peek(dev).dcData.m_values[0]), 100.0f); // plain, not scaled
    EXPECT_EQ(got(peek(dev).dcData.n_values[0]), 5.0f);
    EXPECT_EQ(got(peek(dev).dcData.n_count), 1);
}

TEST_F(DcDecodeTest, NoValuePairsOnlyWhereAFieldHasAPlaceholder) {
    // voltage 0x0101 (no test: 2.0), branch 0x2020 (no test: 82.0), user value 0x2020 (-0.1)
    const Bytes b = {0x01, 0x01, 0x00, 0x00, 0, 1, 0x20, 0x20, 2, 0x20, 0x20, 0x00, 0x07};
    CaptureStdout();
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_42, b), 13);
    GetCapturedStdout();
    EXPECT_EQ(got(peek(dev).dcData.voltage), 2.0f);
    EXPECT_EQ(got(peek(dev).dcData.n_values[0]), 82.0f);
    EXPECT_EQ(got(peek(dev).dcData.p_values[0]), -0.1f);
    EXPECT_EQ(got(peek(dev).dcData.p_values[1]), 7.0f);

    // Of the equal pairs only 0x2020 and 0xFFFF mean no value: 0x0101 is 257.
    const Bytes users = {0x14, 0xEA, 0, 0, 0, 0, 3, 0xFF, 0xFF, 0x01, 0x01, 0x5A, 0x5A};
    CaptureStdout();
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_42, users), 13);
    GetCapturedStdout();
    EXPECT_EQ(got(peek(dev).dcData.p_values[0]), -0.1f);
    EXPECT_EQ(got(peek(dev).dcData.p_values[1]), 257.0f);
    EXPECT_EQ(got(peek(dev).dcData.p_values[2]), 23130.0f);
}

TEST_F(DcDecodeTest, UserValueListHoldsExactlyItsCapacity) {
    // p = 9 fills the list; p = 10 is stepped over and leaves it.
    Bytes nine = {0x14, 0xEA, 0, 0, 0, 0, 9};
    for (unsigned j = 0; j < 9; ++j)
        put16(nine, 100 + j);
    CaptureStdout();
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_42, nine), 7 + 18);
    for (unsigned j = 0; j < 9; ++j)
        EXPECT_EQ(got(peek(dev).dcData.p_values[j]), static_cast<float>(100 + j)) << j;
    Bytes ten = {0x14, 0xEA, 0, 0, 0, 0, 10};
    for (unsigned j = 0; j < 10; ++j)
        put16(ten, 500 + j);
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_42, ten), 7 + 20);
    EXPECT_EQ(GetCapturedStdout(), "parse 42_42 m 0 2\nparse 42_42 n 0 20\nparse 42_42 p 9 9\n"
                                   "parse 42_42 m 0 2\nparse 42_42 n 0 20\nparse 42_42 p 10 9\n");
    EXPECT_EQ(got(peek(dev).dcData.p_count), 10);
    EXPECT_EQ(got(peek(dev).dcData.p_values[0]), 100.0f);
    EXPECT_EQ(got(peek(dev).dcData.p_values[8]), 108.0f);
}

TEST_F(DcDecodeTest, CountsAboveCapacity) {
    CaptureStdout();
    ASSERT_EQ(decode(dev, MPX23TestView::kParse42_42, body::dc_analogue()), 13);
    // m = 3: six bytes stepped over, m_values kept, decoding goes on with n.
    const Bytes m3 = {0x14, 0xEA, 0, 0, 3, 9, 9, 9, 9, 9, 9, 1, 0x03, 0xE8, 0};
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_42, m3), 15);
    EXPECT_EQ(got(peek(dev).dcData.m_count), 3);
    EXPECT_EQ(got(peek(dev).dcData.m_values[1]), 50.0f);
    EXPECT_EQ(got(peek(dev).dcData.n_values[0]), 10.0f);
    // p = 10: the input length is returned whatever follows.
    const Bytes p10 = {0x14, 0xEA, 0, 0, 0, 0, 10, 1};
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_42, p10), 8);
    EXPECT_EQ(got(peek(dev).dcData.p_count), 10);
    EXPECT_EQ(GetCapturedStdout().find("parse 42_42 p 10 9\n") != std::string::npos, true);
    // Cut inside the branch list: the values within the input are written.
    const Bytes cut = {0x13, 0x88, 0, 0, 0, 2, 0x00, 0xC8, 0x01};
    EXPECT_EQ(peek(dev).parse42_42(cut.data(), static_cast<int>(cut.size())), -1);
    EXPECT_EQ(got(peek(dev).dcData.voltage), 50.0f);
    EXPECT_EQ(got(peek(dev).dcData.n_count), 2);
    EXPECT_EQ(got(peek(dev).dcData.n_values[0]), 2.0f);
}

TEST_F(DcDecodeTest, AlarmListsAreTruncatedToCapacity) {
    Bytes b = {0x02, 45};
    for (int i = 0; i < 45; ++i)
        b.push_back(static_cast<uint8_t>(i + 1));
    b.insert(b.end(), {4, 0xA1, 0xA2, 0xA3, 0xA4});
    CaptureStdout();
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_44, b), 3 + 45 + 4);
    EXPECT_EQ(GetCapturedStdout(), " dcData.alert_m_count 45 42\n dcData.alert_p_count 4 3\n");
    EXPECT_EQ(got(peek(dev).dcData.voltage_alarm), 0x02);
    EXPECT_EQ(got(peek(dev).dcData.alert_m[41]), 42);
    EXPECT_EQ(got(peek(dev).dcData.alert_p_count), 4);
    EXPECT_EQ(got(peek(dev).dcData.alert_p[2]), 0xA3);

    CaptureStdout();
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_44, Bytes{0, 0, 0}), 3);
    // Bytes announced beyond the input are not copied.
    const Bytes cut = {0x01, 5, 0x77, 0x78};
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_44, cut), -1);
    GetCapturedStdout();
    EXPECT_EQ(got(peek(dev).dcData.alert_m[1]), 0x78);
    EXPECT_EQ(got(peek(dev).dcData.alert_m[2]), 3); // from the first reply
}

TEST_F(DcDecodeTest, AlarmReplyCutInsideSkippedBytesIsRejected) {
    // Bytes beyond a list's capacity are stepped over, not read: a reply that ends among them
    // is still a reply cut short.
    Bytes m_list = {0x00, 43};
    for (int i = 0; i < 43; ++i)
        m_list.push_back(static_cast<uint8_t>(i));
    m_list.push_back(0); // ap = 0
    const Bytes p_list = {0x00, 0, 5, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5};
    CaptureStdout();
    ASSERT_EQ(decode(dev, MPX23TestView::kParse42_44, m_list), 46);
    ASSERT_EQ(decode(dev, MPX23TestView::kParse42_44, p_list), 8);
    // The last user-defined alarm byte missing: the fourth and fifth are stepped over.
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_44, Bytes(p_list.begin(), p_list.end() - 1)), -1);
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_44, Bytes(p_list.begin(), p_list.end() - 2)), -1);
    // The m-list ending inside its 43rd byte, with nothing after it.
    EXPECT_EQ(decode(dev, MPX23TestView::kParse42_44, Bytes(m_list.begin(), m_list.end() - 2)), -1);
    GetCapturedStdout();
}

} // namespace
