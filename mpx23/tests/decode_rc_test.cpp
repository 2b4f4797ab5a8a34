// Rectifier replies (group 0x41): analogue values, status, alarms, and the module list
// following modules added and removed.
#include "tests/driver_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using RcDecodeTest = DriverTest;

int decode(MPX23 &dev, int (MPX23::*decoder)(const unsigned char *, int), const Bytes &b) {
    return (dev.*decoder)(b.data(), static_cast<int>(b.size()));
}

TEST_F(RcDecodeTest, AnalogueReplyOfTheWorkedFrame) {
    const Bytes info = {0x00, 0x14, 0xB4, 0x03, 0x03, 0xE8, 0x00,
                        0x04, 0xB0, 0x00, 0x00, 0x00, 0x00};
    CaptureStdout();
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_42, info), 13);
    EXPECT_EQ(GetCapturedStdout(), "out_v is 53.000000\n"
                                   "parse41_42 channel_count 3\n"
                                   "rcchannel p41_41_count 0\n"
                                   "rcchannel p41_41_count 0\n"
                                   "rcchannel p41_41_count 0\n");
    ASSERT_EQ(peek(dev).rc_channels.size(), 3u);
    EXPECT_EQ(got(peek(dev).rcData.channel_count), 3);
    EXPECT_EQ(got(peek(dev).rcData.out_v), 53.0f);
    EXPECT_EQ(got(peek(dev).rc_channels[0].out_i), 10.0f);
    EXPECT_EQ(got(peek(dev).rc_channels[1].out_i), 12.0f);
    EXPECT_EQ(got(peek(dev).rc_channels[2].out_i), 0.0f);

    // One trailing byte: still 13, which the caller refuses as not the INFO length.
    Bytes longer = info;
    longer.push_back(0x00);
    CaptureStdout();
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_42, longer), 13);
    GetCapturedStdout();
}

TEST_F(RcDecodeTest, UserDefinedValuesAreSteppedOver) {
    body::Module with_values;
    with_values.user_values = 2; // 3 + 4 bytes
    Bytes b = body::rc_analogue(0, 5400, {with_values, body::Module{}});
    CaptureStdout();
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_42, b), 4 + 7 + 3);
    GetCapturedStdout();
    EXPECT_EQ(got(peek(dev).rc_channels[0].p41_41_count), 2);
    EXPECT_EQ(got(peek(dev).rc_channels[1].out_i), 10.0f);
}

TEST_F(RcDecodeTest, ModuleListFollowsModulesAddedAndRemoved) {
    CaptureStdout();
    // A truncated first reply sizes nothing.
    Bytes three = body::rc_analogue(0, 5300, std::vector<body::Module>(3));
    EXPECT_EQ(peek(dev).parse41_42(three.data(), 12), -1);
    EXPECT_TRUE(peek(dev).rc_channels.empty());
    EXPECT_EQ(got(peek(dev).rcData.out_v), 0.0f);

    ASSERT_EQ(decode(dev, MPX23TestView::kParse41_42, three), 13);
    ASSERT_EQ(decode(dev, MPX23TestView::kParse41_43, body::rc_status(3, /*on_off=*/1)), 14);

    // A module added during maintenance.
    Bytes four = body::rc_analogue(0, 5310, std::vector<body::Module>(4));
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_42, four), 16);
    ASSERT_EQ(peek(dev).rc_channels.size(), 4u);
    EXPECT_EQ(got(peek(dev).rcData.channel_count), 4);
    EXPECT_EQ(got(peek(dev).rc_channels[2].on_off), 1); // kept
    EXPECT_EQ(got(peek(dev).rc_channels[3].on_off), 0); // new, zero-filled
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_43, body::rc_status(4)), 18);

    // A cut-short reply with a new count changes nothing, not even out_v.
    Bytes five = body::rc_analogue(0, 4000, std::vector<body::Module>(5));
    EXPECT_EQ(peek(dev).parse41_42(five.data(), static_cast<int>(five.size()) - 1), -1);
    EXPECT_EQ(peek(dev).rc_channels.size(), 4u);
    EXPECT_EQ(got(peek(dev).rcData.out_v), 53.0f);

    // A module removed.
    Bytes two = body::rc_analogue(0, 5320, std::vector<body::Module>(2));
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_42, two), 10);
    EXPECT_EQ(peek(dev).rc_channels.size(), 2u);
    EXPECT_EQ(got(peek(dev).rcData.channel_count), 2);
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("parse41_42 channel_count 5\n"
                       "parse41_42 rc.channel_count != channel_count\n"),
              std::string::npos);
}

TEST_F(RcDecodeTest, SameCountCutShortKeepsWhatWasDecoded) {
    CaptureStdout();
    ASSERT_EQ(decode(dev, MPX23TestView::kParse41_42,
                     body::rc_analogue(0, 5300, std::vector<body::Module>(3))),
              13);
    body::Module changed;
    changed.current = 2500;
    Bytes b = body::rc_analogue(0, 5500, {changed, changed, changed});
    EXPECT_EQ(peek(dev).parse41_42(b.data(), 8), -1); // ends inside module 1
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(got(peek(dev).rcData.out_v), 55.0f);
    EXPECT_EQ(got(peek(dev).rc_channels[0].out_i), 25.0f);
    EXPECT_EQ(got(peek(dev).rc_channels[1].out_i), 10.0f);
    EXPECT_NE(out.find("parse41_42 (p41_42 - data) > data_len\n"), std::string::npos);
}

TEST_F(RcDecodeTest, StatusReplyUpdatesTheAnnouncedModules) {
    CaptureStdout();
    ASSERT_EQ(decode(dev, MPX23TestView::kParse41_42,
                     body::rc_analogue(0, 5300, std::vector<body::Module>(3))),
              13);
    ASSERT_EQ(decode(dev, MPX23TestView::kParse41_43, body::rc_status(3, 0x01)), 14);
    // Two of three modules, each with one user-defined status byte.
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_43, body::rc_status(2, 0x02, 1)), 2 + 2 * 5);
    EXPECT_EQ(got(peek(dev).rc_channels[1].on_off), 0x02);
    EXPECT_EQ(got(peek(dev).rc_channels[1].p41_43[0]), 0xA0);
    EXPECT_EQ(got(peek(dev).rc_channels[2].on_off), 0x01); // not announced: kept
    // Two user bytes do not fit the capacity of one: counted and stepped over.
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_43, body::rc_status(1, 0x03, 2)), 2 + 6);
    EXPECT_EQ(got(peek(dev).rc_channels[0].p41_43_count), 2);
    EXPECT_EQ(got(peek(dev).rc_channels[0].p41_43[0]), 0xA0);
    // More modules than sized.
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_43, body::rc_status(4)), -1);
    EXPECT_EQ(GetCapturedStdout().find("parse41_43 channel_count 4\n") != std::string::npos, true);
    // Cut short: module 0 decoded, -1.
    Bytes cut = body::rc_status(2, 0x07);
    EXPECT_EQ(peek(dev).parse41_43(cut.data(), 6), -1);
    EXPECT_EQ(got(peek(dev).rc_channels[0].on_off), 0x07);
    EXPECT_EQ(got(peek(dev).rc_channels[1].on_off), 0x02);
}

TEST_F(RcDecodeTest, AlarmReplyKeepsUserBytesOnlyAtFullCapacity) {
    CaptureStdout();
    ASSERT_EQ(decode(dev, MPX23TestView::kParse41_42,
                     body::rc_analogue(0, 5300, std::vector<body::Module>(3))),
              13);
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_44, body::rc_alarms(3, 0x01, 7)), 2 + 3 * 9);
    EXPECT_EQ(got(peek(dev).rc_channels[2].fault), 0x01);
    EXPECT_EQ(got(peek(dev).rc_channels[2].p41_44[6]), 0xB6);
    // Six bytes of another fill: counted and stepped over, all seven earlier ones kept.
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_44, body::rc_alarms(1, 0x00, 6, 0xC0)), 2 + 8);
    EXPECT_EQ(got(peek(dev).rc_channels[0].p41_44_count), 6);
    for (int j = 0; j < 7; ++j)
        EXPECT_EQ(got(peek(dev).rc_channels[0].p41_44[j]), 0xB0 + j) << j;
    EXPECT_EQ(decode(dev, MPX23TestView::kParse41_44, body::rc_alarms(4)), -1);
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("rcchannel p41_44_count 7\n"), std::string::npos);
}

} // namespace
