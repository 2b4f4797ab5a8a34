// AC distribution replies (group 0x40): analogue values, status, alarms.
#include "tests/driver_fixture.h"

#include <cstring>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using AcDecodeTest = DriverTest;

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

TEST_F(AcDecodeTest, AnalogueReplySizesTheListAndConvertsEveryValue) {
    body::AcLine first;
    first.ua = 22050;  // integer division: 220.0, not 220.5
    first.ub = 0x2020; // blank fill: no value
    first.uc = 0x0101; // equal bytes are a reading like any other
    first.f = 4999;
    Bytes b = body::ac_analogue({first, body::AcLine{}}, 0x2020, 0x0101, 1234);

    CaptureStdout();
    EXPECT_EQ(peek(dev).parse40_42(b.data(), static_cast<int>(b.size())), 25);
    EXPECT_EQ(GetCapturedStdout(), "acData channel_count 2\n");

    ASSERT_EQ(peek(dev).ac_channels.size(), 2u);
    EXPECT_EQ(got(peek(dev).acData.channel_count), 2);
    EXPECT_EQ(peek(dev).alarm_profile, 2); // a two-input power system runs the two-input checks
    const mpx23_ac_channel &l0 = peek(dev).ac_channels[0];
    EXPECT_EQ(got(l0.ua), 220.0f);
    EXPECT_EQ(got(l0.ub), 0.0f);
    EXPECT_EQ(got(l0.uc), 2.0f);
    EXPECT_EQ(got(l0.f), 49.0f);
    EXPECT_EQ(got(peek(dev).ac_channels[1].ua), 230.0f);
    EXPECT_EQ(bits(got(peek(dev).acData.ia)), 0xBDCCCCCDu); // -0.1 placeholder
    EXPECT_EQ(got(peek(dev).acData.ib), 2.0f);
    EXPECT_EQ(got(peek(dev).acData.ic), 12.0f);
}

TEST_F(AcDecodeTest, OnlyBlankFillAndAllOnesAreNoValue) {
    // A normal mains whose readings happen to encode as equal bytes: 231.30 V is 0x5A5A,
    // 228.73 V is 0x5959, 51.40 Hz is 0x1414. Each is a reading, not a missing phase.
    body::AcLine mains;
    mains.ua = 0x5A5A;
    mains.ub = 0x5959;
    mains.uc = 0xFFFF; // the other no-value pair
    mains.f = 0x1414;
    Bytes b = body::ac_analogue({mains}, 0x0202, 0xFFFF, 0xFFFF);
    ASSERT_EQ(peek(dev).parse40_42(b.data(), static_cast<int>(b.size())), 16);
    const mpx23_ac_channel &in = peek(dev).ac_channels[0];
    EXPECT_EQ(got(in.ua), 231.0f);
    EXPECT_EQ(got(in.ub), 228.0f);
    EXPECT_EQ(got(in.uc), 0.0f);
    EXPECT_EQ(got(in.f), 51.0f);
    EXPECT_EQ(got(peek(dev).acData.ia), 5.0f);
    EXPECT_EQ(bits(got(peek(dev).acData.ib)), 0xBDCCCCCDu);
    EXPECT_EQ(bits(got(peek(dev).acData.ic)), 0xBDCCCCCDu); // phase C has its placeholder too

    // Blank fill in phase C, every other pair a reading.
    b = body::ac_analogue({body::AcLine{}}, 0x2121, 0x1F1F, 0x2020);
    ASSERT_EQ(peek(dev).parse40_42(b.data(), static_cast<int>(b.size())), 16);
    EXPECT_EQ(got(peek(dev).acData.ia), 84.0f);
    EXPECT_EQ(got(peek(dev).acData.ib), 79.0f);
    EXPECT_EQ(bits(got(peek(dev).acData.ic)), 0xBDCCCCCDu);
}

TEST_F(AcDecodeTest, UserDefinedValuesAreSteppedOverAndCounted) {
    body::AcLine line;
    line.user_values = 3; // 9 + 6 bytes
    Bytes b = body::ac_analogue({line}, 500, 600, 700);
    EXPECT_EQ(peek(dev).parse40_42(b.data(), static_cast<int>(b.size())), 1 + 15 + 6);
    EXPECT_EQ(got(peek(dev).ac_channels[0].p40_42_count), 3);
    EXPECT_EQ(got(peek(dev).acData.ic), 7.0f);
}

TEST_F(AcDecodeTest, ListFollowsTheInputCountOnlyForCompleteReplies) {
    // A truncated first reply sizes nothing.
    Bytes two = body::ac_analogue(std::vector<body::AcLine>(2));
    EXPECT_EQ(peek(dev).parse40_42(two.data(), 20), -1);
    EXPECT_TRUE(peek(dev).ac_channels.empty());

    ASSERT_EQ(peek(dev).parse40_42(two.data(), static_cast<int>(two.size())), 25);
    peek(dev).ac_channels[1].ua_alarm = 7; // state that must survive a re-size

    // An input added: a complete reply re-sizes the list and is accepted.
    body::AcLine third;
    third.ua = 24000;
    Bytes three = body::ac_analogue({body::AcLine{}, body::AcLine{}, third});
    CaptureStdout();
    EXPECT_EQ(peek(dev).parse40_42(three.data(), static_cast<int>(three.size())), 1 + 27 + 6);
    EXPECT_EQ(GetCapturedStdout(), "acData channel_count 3\n");
    ASSERT_EQ(peek(dev).ac_channels.size(), 3u);
    EXPECT_EQ(got(peek(dev).acData.channel_count), 3);
    EXPECT_EQ(got(peek(dev).ac_channels[1].ua_alarm), 7);
    EXPECT_EQ(got(peek(dev).ac_channels[2].ua), 240.0f);
    EXPECT_EQ(peek(dev).alarm_profile, 2);

    // A cut-short reply announcing another count changes nothing.
    Bytes one = body::ac_analogue({body::AcLine{}}, 9900, 9900, 9900);
    EXPECT_EQ(peek(dev).parse40_42(one.data(), static_cast<int>(one.size()) - 1), -1);
    EXPECT_EQ(peek(dev).ac_channels.size(), 3u);
    EXPECT_EQ(got(peek(dev).acData.channel_count), 3);
    EXPECT_EQ(got(peek(dev).acData.ia), 10.0f);

    // An input removed.
    EXPECT_EQ(peek(dev).parse40_42(one.data(), static_cast<int>(one.size())), 16);
    EXPECT_EQ(peek(dev).ac_channels.size(), 1u);
    EXPECT_EQ(got(peek(dev).acData.ia), 99.0f);
    EXPECT_EQ(peek(dev).alarm_profile, 2); // no reply lowers the profile
}

TEST_F(AcDecodeTest, CutShortReplyKeepsOnlyTheFieldsWithinTheInput) {
    Bytes b = body::ac_analogue(std::vector<body::AcLine>(2));
    ASSERT_EQ(peek(dev).parse40_42(b.data(), static_cast<int>(b.size())), 25);
    body::AcLine changed;
    changed.ua = changed.ub = 10000;
    Bytes next = body::ac_analogue({changed, changed}, 2000, 2000, 2000);
    // The input ends inside the second line's phase B voltage.
    EXPECT_EQ(peek(dev).parse40_42(next.data(), 1 + 9 + 3), -1);
    EXPECT_EQ(got(peek(dev).ac_channels[0].ub), 100.0f);
    EXPECT_EQ(got(peek(dev).ac_channels[1].ua), 100.0f);
    EXPECT_EQ(got(peek(dev).ac_channels[1].ub), 231.0f); // not reached: earlier value kept
    EXPECT_EQ(got(peek(dev).acData.ia), 10.0f);
}

TEST_F(AcDecodeTest, StatusReplyBreakerCountsAndBounds) {
    Bytes eight = body::ac_status({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(peek(dev).parse40_43(eight.data(), 10), 10);
    EXPECT_EQ(got(peek(dev).acData.airlock[7]), 8);

    // Nine breakers: the count is kept, the states are not touched.
    Bytes nine = body::ac_status({9, 9, 9, 9, 9, 9, 9, 9, 9});
    EXPECT_EQ(peek(dev).parse40_43(nine.data(), static_cast<int>(nine.size())), -1);
    EXPECT_EQ(got(peek(dev).acData.airlock_count), 9);
    EXPECT_EQ(got(peek(dev).acData.airlock[0]), 1);

    // User-defined bytes are stepped over unread: the count is returned past the input's end.
    Bytes user = {2, 0x11, 0x22, 4};
    EXPECT_EQ(peek(dev).parse40_43(user.data(), 4), 8);
    EXPECT_EQ(got(peek(dev).acData.p40_43_count), 4);

    // States announced beyond the input: those present are kept, then the overflow line.
    Bytes cut = {3, 0x55, 0x66};
    CaptureStdout();
    EXPECT_EQ(peek(dev).parse40_43(cut.data(), 3), -1);
    EXPECT_EQ(GetCapturedStdout(), "read 40_43 read overflow\n");
    EXPECT_EQ(got(peek(dev).acData.airlock[1]), 0x66);
    EXPECT_EQ(got(peek(dev).acData.airlock[2]), 3);
}

TEST_F(AcDecodeTest, AlarmReplyWalksTheSizedLines) {
    // No line sized yet: the three output-current alarms at offsets 1 to 3.
    Bytes none = {0, 0x01, 0x02, 0x03};
    EXPECT_EQ(peek(dev).parse40_44(none.data(), 4), 4);
    EXPECT_EQ(got(peek(dev).acData.ic_alarm), 3);

    Bytes analogue = body::ac_analogue(std::vector<body::AcLine>(2));
    ASSERT_EQ(peek(dev).parse40_42(analogue.data(), static_cast<int>(analogue.size())), 25);
    // Line 0 with M = 2 further bytes and Q = 1 user byte; line 1 plain.
    Bytes b = {2,    0x01, 0x02, 0x03, 0x04, 2, 0xEE, 0xEE, 1,   0xDD,
               0x05, 0x06, 0x07, 0x08, 0,    0, 0x09, 0x0A, 0x0B};
    EXPECT_EQ(peek(dev).parse40_44(b.data(), static_cast<int>(b.size())), 19);
    EXPECT_EQ(got(peek(dev).ac_channels[0].f_alarm), 0x04);
    EXPECT_EQ(got(peek(dev).ac_channels[0].p40_44_count), 1);
    EXPECT_EQ(got(peek(dev).ac_channels[1].ua_alarm), 0x05);
    EXPECT_EQ(got(peek(dev).acData.ia_alarm), 0x09);

    // Cut inside line 1: line 0 rewritten, the rest kept.
    Bytes again = b;
    again[1] = 0x31;
    again[10] = 0x35;
    EXPECT_EQ(peek(dev).parse40_44(again.data(), 10), -1);
    EXPECT_EQ(got(peek(dev).ac_channels[0].ua_alarm), 0x31);
    EXPECT_EQ(got(peek(dev).ac_channels[1].ua_alarm), 0x05);
}

TEST_F(AcDecodeTest, EveryDecoderRefusesAnEmptyOrNegativeLength) {
    const unsigned char data[64] = {1, 1, 1, 1};
    using Decoder = int (MPX23::*)(const unsigned char *, int);
    const Decoder decoders[] = {MPX23TestView::kParse40_42, MPX23TestView::kParse40_43,
                                MPX23TestView::kParse40_44, MPX23TestView::kParse41_42,
                                MPX23TestView::kParse41_43, MPX23TestView::kParse41_44,
                                MPX23TestView::kParse42_42, MPX23TestView::kParse42_44};
    CaptureStdout();
    for (Decoder d : decoders) {
        EXPECT_EQ((dev.*d)(data, 0), -1);
        EXPECT_EQ((dev.*d)(data, -2), -1);
    }
    GetCapturedStdout();
    EXPECT_TRUE(peek(dev).ac_channels.empty());
    EXPECT_TRUE(peek(dev).rc_channels.empty());
}

} // namespace
