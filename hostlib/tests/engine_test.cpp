// The protocol engine against the worked frames of the wire framing, and against what a noisy
// half-duplex line does to replies: splitting, merging, noise, cut-off and oversized frames,
// checksum failures, foreign addresses, error returns and adapter echo.
#include "tests/frames.h"
#include "tests/probe_device.h"
#include "tests/recording_host.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>
#include <vector>

using frames::bytes;
using testing_host::RecordingHost;

namespace {

const std::string kRectifierReply = "~20014100501A0014B40303E80004B000000000F86D\r";

struct EngineTest : ::testing::Test {
    RecordingHost host;
    ProbeDevice dev;

    int feed(const std::string &s) {
        auto b = bytes(s);
        return dev.process(b.data(), static_cast<unsigned>(b.size()));
    }
    std::string last_wire() const { return host.sent.back().wire; }
};

TEST_F(EngineTest, EncodesTheWorkedCommandFrames) {
    const unsigned char ff = 0xFF;
    const unsigned char set[] = {0x84, 0x14, 0xE6};
    const unsigned char control[] = {0x10, 0x03};
    dev.write_pmbus_cmd(0x42, 0x47);
    EXPECT_EQ(last_wire(), "~200142470000FDAC\r");
    dev.write_pmbus_cmd(0x40, 0x42, &ff, 1);
    EXPECT_EQ(last_wire(), "~20014042E002FFFD10\r");
    dev.write_pmbus_cmd(0x41, 0x42);
    EXPECT_EQ(last_wire(), "~200141420000FDB2\r");
    dev.write_pmbus_cmd(0x42, 0x49, set, 3);
    EXPECT_EQ(last_wire(), "~20014249A0068414E6FC47\r");
    dev.write_pmbus_cmd(0x41, 0x45, control, 2);
    EXPECT_EQ(last_wire(), "~20014145C0041003FCD4\r");
    EXPECT_EQ(frames::reply(0x41, {0x00, 0x14, 0xB4, 0x03, 0x03, 0xE8, 0x00, 0x04, 0xB0, 0x00, 0x00,
                                   0x00, 0x00}),
              kRectifierReply);
}

TEST_F(EngineTest, RefusesToFrameImpossibleCommands) {
    const unsigned char info[4] = {};
    EXPECT_EQ(dev.write_pmbus_cmd(0x42, 0x49, info, -1), -1);
    EXPECT_EQ(dev.write_pmbus_cmd(0x42, 0x49, nullptr, 2), -1);
    EXPECT_EQ(dev.write_pmbus_cmd(0x42, 0x49, info, 2048), -1);
    EXPECT_TRUE(host.sent.empty());
}

TEST_F(EngineTest, LaysTheAcceptedReplyOutForTheDriver) {
    EXPECT_EQ(feed(kRectifierReply), 1);
    ASSERT_EQ(dev.replies.size(), 1u);
    const std::vector<uint8_t> expected = {0x20, 0x01, 0x41, 0x00, 0x1A, 0x00, 0x00,
                                           0x14, 0xB4, 0x03, 0x03, 0xE8, 0x00, 0x04,
                                           0xB0, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(dev.replies[0], expected);
    // A reply in another protocol version is accepted; the worked VER 0x21 frame passes its
    // checksums but carries CID2 0x42, which in a reply is an error return.
    EXPECT_EQ(feed(frames::reply(0x41, {0x00}, 0, 1, 0x21)), 1);
    EXPECT_EQ(feed("~21014042E002FFFD0F\r"), 0);
    EXPECT_EQ(host.rejected, std::vector<FrameFault>{FrameFault::ReturnCode});
    // Lower-case hex, with CHKSUM over the characters as sent.
    std::string lower = kRectifierReply.substr(1, kRectifierReply.size() - 6);
    for (auto &c : lower)
        c = static_cast<char>(std::tolower(c));
    char sum[8];
    std::snprintf(sum, sizeof sum, "%04x\r", frame::checksum(lower.data(), lower.size()));
    EXPECT_EQ(feed("~" + lower + sum), 1);
    EXPECT_EQ(dev.replies.back(), expected);
}

TEST_F(EngineTest, TakesFramesSplitMergedAndSurroundedByNoise) {
    const std::string a = frames::reply(0x40, {0x00, 0x01, 0x02});
    const std::string b = frames::reply(0x42, {0x10, 0x01});
    // One byte at a time.
    for (char c : a)
        feed(std::string(1, c));
    ASSERT_EQ(dev.replies.size(), 1u);
    // Noise (including CR and hex digits) before, between and after; both in one read.
    EXPECT_EQ(feed("\x00\xFFGARBAGE12\r" + a + "\r\n 7E" + b + "zz"), 2);
    ASSERT_EQ(dev.replies.size(), 3u);
    EXPECT_EQ(dev.replies[2][2], 0x42);
    EXPECT_TRUE(host.rejected.empty());
}

TEST_F(EngineTest, RestartsAtEverySoiAndDropsTheCutFrame) {
    const std::string good = frames::reply(0x41, {0x00});
    EXPECT_EQ(feed(good.substr(0, 9) + good), 1);
    EXPECT_EQ(host.rejected, std::vector<FrameFault>{FrameFault::Cut});
    EXPECT_EQ(dev.fault_count(FrameFault::Cut), 1u);
}

TEST_F(EngineTest, DropsOversizedFramesAndRecovers) {
    // The largest legal frame is accepted whole.
    std::vector<uint8_t> big(frame::kMaxInfo, 0x5A);
    EXPECT_EQ(feed(frames::reply(0x42, big)), 1);
    EXPECT_EQ(dev.replies.back().size(), 6u + frame::kMaxInfo);
    // A frame that never ends is given up once it outgrows the largest legal one.
    EXPECT_EQ(feed("~" + std::string(6000, 'A')), 0);
    EXPECT_EQ(dev.fault_count(FrameFault::Overflow), 1u);
    EXPECT_EQ(feed(frames::reply(0x40, {0x01})), 1);
}

TEST_F(EngineTest, DropsAFrameOneCharacterLongerThanTheReceiverHolds) {
    // The largest legal frame with one character more before its EOI.
    std::string wire = frames::reply(0x42, std::vector<uint8_t>(frame::kMaxInfo, 0x5A));
    ASSERT_EQ(wire.size(), 2 + frame::kMaxChars);
    wire.insert(wire.size() - 1, "0");
    EXPECT_EQ(feed(wire), 0);
    EXPECT_EQ(host.rejected, std::vector<FrameFault>{FrameFault::Overflow});
    EXPECT_EQ(feed(frames::reply(0x40, {0x01})), 1);
    // The character that does not fit is never stored.
    frame::Receiver rx;
    for (char c : wire.substr(0, wire.size() - 1))
        rx.push(static_cast<uint8_t>(c));
    EXPECT_EQ(rx.char_count(), frame::kMaxChars);
    EXPECT_FALSE(rx.receiving());
}

TEST_F(EngineTest, NeverDeliversAReplyWithAnErrorReturn) {
    for (unsigned rtn = 0x01; rtn <= 0xFF; ++rtn) {
        EXPECT_EQ(feed(frames::reply(0x41, {0x00}, static_cast<uint8_t>(rtn))), 0) << rtn;
        EXPECT_EQ(dev.refusal(), static_cast<int>(rtn));
    }
    EXPECT_TRUE(dev.replies.empty());
    EXPECT_EQ(dev.fault_count(FrameFault::ReturnCode), 255u);
}

TEST_F(EngineTest, RejectsEachChecksumAndFormatFault) {
    std::string bad_sum = kRectifierReply;
    bad_sum[20] = '1';                            // an INFO digit changed, CHKSUM no longer matches
    std::string bad_lchk = "~200141420100FDB1\r"; // LENGTH nibbles do not sum to 0
    std::string bad_char = kRectifierReply;
    bad_char[15] = 'G';
    std::string lenid_mismatch = "~1203400456ABCEFEFC71\r"; // valid CHKSUM, LENID 0x6AB
    std::string short_frame = "~2001\r";
    std::string blank_header = kRectifierReply;
    blank_header[1] = ' ';
    blank_header[2] = ' ';
    for (const auto &f : {bad_sum, bad_lchk, bad_char, lenid_mismatch, short_frame, blank_header})
        EXPECT_EQ(feed(f), 0) << f;
    const std::vector<FrameFault> expected = {FrameFault::Checksum,  FrameFault::LengthChecksum,
                                              FrameFault::Character, FrameFault::Length,
                                              FrameFault::Length,    FrameFault::Character};
    EXPECT_EQ(host.rejected, expected);
    EXPECT_TRUE(dev.replies.empty());
}

TEST_F(EngineTest, TakesOnlyFramesOfExactly16PlusLenidCharacters) {
    // Characters after a valid CHKSUM: the frame is longer than its LENID says.
    const std::string good = frames::reply(0x41, {0x00, 0x01});
    const std::string body = good.substr(0, good.size() - 1);
    for (const char *extra : {"00", "0000", "FDAC"})
        EXPECT_EQ(feed(body + extra + "\r"), 0) << extra;
    // One pair short: LENID claims more than the frame holds.
    EXPECT_EQ(feed(good.substr(0, 13) + good.substr(15)), 0);
    EXPECT_EQ(host.rejected, std::vector<FrameFault>(4, FrameFault::Length));
    EXPECT_EQ(feed(good), 1);
}

TEST_F(EngineTest, RemembersTheReturnCodeOfARefusalUntilTheNextCommand) {
    EXPECT_EQ(dev.refusal(), -1);
    dev.write_pmbus_cmd(0x42, 0x49);
    EXPECT_EQ(feed(frames::reply(0x42, {}, /*rtn=*/0x06)), 0);
    EXPECT_EQ(dev.refusal(), 0x06);
    EXPECT_EQ(feed(frames::reply(0x42, {0x00})), 1); // an accepted reply does not clear it
    EXPECT_EQ(dev.refusal(), 0x06);
    dev.write_pmbus_cmd(0x42, 0x47);
    EXPECT_EQ(dev.refusal(), -1);
    EXPECT_EQ(feed(frames::reply(0x42, {}, 0x06, /*adr=*/2)), 0); // another device's
    EXPECT_EQ(dev.refusal(), -1);
}

TEST_F(EngineTest, DecodesBlankFillInInfoAsSpaceBytes) {
    // The power system sends a missing value as blanks and sums the blanks into CHKSUM.
    std::string body = "20014200"
                       "A006"
                       "01"
                       "  "
                       "  ";
    uint16_t sum = frame::checksum(body.data(), body.size());
    char tail[8];
    std::snprintf(tail, sizeof tail, "%04X\r", sum);
    EXPECT_EQ(feed("~" + body + tail), 1);
    const std::vector<uint8_t> info(dev.replies.back().begin() + 6, dev.replies.back().end());
    EXPECT_EQ(info, (std::vector<uint8_t>{0x01, 0x20, 0x20}));
}

TEST_F(EngineTest, DropsForeignAddressesErrorReturnsAndTheEcho) {
    Json::Value settings;
    settings["address"] = 3;
    ASSERT_EQ(dev.InitSetting(settings), 1);
    EXPECT_EQ(feed(frames::reply(0x41, {0x00}, 0, /*adr=*/1)), 0);
    EXPECT_EQ(feed(frames::reply(0x41, {}, /*rtn=*/0x04, 3)), 0);
    dev.write_pmbus_cmd(0x41, 0x42);
    EXPECT_EQ(feed(last_wire()), 0); // the RS-485 adapter's echo
    EXPECT_EQ(feed(frames::reply(0x41, {0x00}, 0, 3)), 1);
    const std::vector<FrameFault> expected = {FrameFault::Address, FrameFault::ReturnCode,
                                              FrameFault::Echo};
    EXPECT_EQ(host.rejected, expected);
    EXPECT_EQ(dev.frames_accepted(), 1u);
}

TEST_F(EngineTest, ReadsItsSettingsAndRejectsBadOnes) {
    Json::Value settings;
    settings["address"] = 5;
    settings["protocol_version"] = "0x21";
    ASSERT_EQ(dev.InitSetting(settings), 1);
    dev.write_pmbus_cmd(0x42, 0x47);
    EXPECT_EQ(host.sent.back().ver, 0x21);
    EXPECT_EQ(host.sent.back().adr, 5);

    for (const char *bad : {R"({"address": 0})", R"({"address": 255})", R"({"address": "x"})",
                            R"({"address": 1.5})", R"({"protocol_version": 300})", R"([1])"}) {
        Json::Value value;
        ASSERT_TRUE(Json::Reader().parse(bad, value));
        EXPECT_EQ(dev.InitSetting(value), 0) << bad;
        EXPECT_FALSE(dev.setting_error().empty()) << bad;
    }
    EXPECT_EQ(dev.address(), 5);
    EXPECT_EQ(dev.version(), 0x21);
    EXPECT_EQ(dev.InitSetting(Json::Value(Json::objectValue)), 1); // defaults kept
}

} // namespace
