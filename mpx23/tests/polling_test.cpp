// The polling cycle as the host and the power system see it: which commands go out, in which
// order, and when the round ends.
#include "tests/driver_fixture.h"
#include "tests/poll_commands.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testing_host::cmd;
using testing_host::Command;

namespace {

using namespace poll_commands;

struct PollingTest : QuietDriverTest {

    // Calls process_payload on a reply laid out as the engine lays it out.
    int payload(uint8_t cid1, const Bytes &info) {
        frame_bytes = {0x20,
                       0x01,
                       cid1,
                       0x00,
                       static_cast<uint8_t>(2 * info.size() & 0xFF),
                       static_cast<uint8_t>(2 * info.size() >> 8)};
        frame_bytes.insert(frame_bytes.end(), info.begin(), info.end());
        frame_bytes.resize(frame_bytes.size() + 16); // the engine's buffer goes on past INFO
        dev.rx_frame = frame_bytes.data();
        return dev.process_payload();
    }
    Bytes frame_bytes;
};

TEST_F(PollingTest, FirstRoundSendsNineCommandsThenPublishesTheBlock) {
    EXPECT_EQ(round(0, 0, 0), kFullRound);
    // InfoLog: the two AC inputs chose the two-input alarm profile.
    const std::vector<std::string> tail = {"InfoLog", "SendSP", "Reset", "DoBatchCheckThreshold",
                                           "SaveDeviceHistory"};
    auto names = host.names({"SendData", "RefreshStatus"});
    EXPECT_EQ(names, tail);
    EXPECT_EQ(host.last("SendSP")->bytes.size(), 381u);
    EXPECT_EQ(dev.data_ready, 1);

    // Second round on a quiet power system: four commands, the round ends at the DC reply.
    EXPECT_EQ(round(0, 0, 0), kQuietRound);
    EXPECT_EQ(host.count("SendSP"), 1);
}

TEST_F(PollingTest, FirstRoundAfterACacheLoadStillAsksEverything) {
    std::vector<unsigned char> cached(381, 0xAB);
    ASSERT_EQ(dev.LoadFromCache(cached.data(), 381), 1);
    EXPECT_EQ(round(0, 0, 0), kFullRound);
    EXPECT_EQ(round(0, 0, 0), kQuietRound);
}

TEST_F(PollingTest, DataFlagsChooseTheStatusAndAlarmQueries) {
    round(0, 0, 0);
    struct Case {
        uint8_t ac, rc, dc;
        std::vector<Command> sent;
    };
    const Case cases[] = {
        {0x10, 0, 0, {kParams, kAcAnalogue, kAcStatus, kRcAnalogue, kDcAnalogue}},
        {0x11, 0, 0, {kParams, kAcAnalogue, kAcStatus, kAcAlarms, kRcAnalogue, kDcAnalogue}},
        {0x01, 0, 0, {kParams, kAcAnalogue, kAcAlarms, kRcAnalogue, kDcAnalogue}},
        {0, 0x10, 0, {kParams, kAcAnalogue, kRcAnalogue, kRcStatus, kDcAnalogue}},
        {0, 0x11, 0, {kParams, kAcAnalogue, kRcAnalogue, kRcStatus, kRcAlarms, kDcAnalogue}},
        {0, 0x01, 0, {kParams, kAcAnalogue, kRcAnalogue, kRcAlarms, kDcAnalogue}},
        {0, 0, 0x10, {kParams, kAcAnalogue, kRcAnalogue, kDcAnalogue, kDcAlarms}},
        {0, 0, 0x01, {kParams, kAcAnalogue, kRcAnalogue, kDcAnalogue, kDcAlarms}},
        {0, 0, 0x20, kQuietRound},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(round(c.ac, c.rc, c.dc), c.sent)
            << "flags " << int(c.ac) << " " << int(c.rc) << " " << int(c.dc);
        EXPECT_EQ(host.count("SendSP"), 1); // every one of these rounds completes
    }
}

TEST_F(PollingTest, WrongGroupResetsInStepOneAndIsIgnoredLater) {
    dev.RefreshStatus();
    parameters();
    EXPECT_EQ(dev.poll_state, 1);
    host.clear();
    EXPECT_EQ(payload(0x41, body::rc_analogue(0, 5300, {})), 0);
    EXPECT_EQ(host.names(), std::vector<std::string>{"Reset"});
    EXPECT_TRUE(host.sent.empty());

    dev.poll_state = 2;
    host.clear();
    EXPECT_EQ(payload(0x41, body::rc_analogue(0, 5300, {})), 1);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(dev.poll_state, 2);
}

TEST_F(PollingTest, RepliesNotOfTheirCommandsLayoutAreLeftUnread) {
    // A reply one byte longer than its counts give is another command's: nothing of it is
    // decoded or printed, not even its data flag, and the step waits on for its own reply.
    dev.data_id = 7;
    round(0, 0, 0);
    struct Case {
        int state;
        uint8_t group;
        Bytes reply;
        const char *log_line, *printed;
    };
    const Case cases[] = {
        {1, 0x40, cat({0x10, 1}, body::ac_analogue(std::vector<body::AcLine>(2))),
         "PMBusPower:ProcotolError 7 reply to 0x40/0x42 with 28 INFO bytes, its layout 27: "
         "ignored",
         "ac number is 1\n"},
        {4, 0x41, body::rc_analogue(0x10, 5300, std::vector<body::Module>(3)),
         "PMBusPower:ProcotolError 7 reply to 0x41/0x42 with 14 INFO bytes, its layout 13: "
         "ignored",
         ""},
        {6, 0x41, body::rc_alarms(3),
         "PMBusPower:ProcotolError 7 reply to 0x41/0x44 with 9 INFO bytes, its layout 8: ignored",
         ""},
        {7, 0x42, cat({0x10, 1}, body::dc_analogue()),
         "PMBusPower:ProcotolError 7 reply to 0x42/0x42 with 16 INFO bytes, its layout 15: "
         "ignored",
         "42_42 dc_number 1\n"},
    };
    for (const Case &c : cases) {
        host.clear();
        dev.poll_state = c.state;
        Bytes reply = c.reply;
        reply.push_back(0x00);
        GetCapturedStdout();
        CaptureStdout();
        EXPECT_EQ(payload(c.group, reply), 1);
        EXPECT_EQ(GetCapturedStdout(), c.printed);
        CaptureStdout();
        EXPECT_EQ(host.log, std::vector<std::string>{c.log_line});
        EXPECT_TRUE(host.sent.empty());
        EXPECT_EQ(dev.poll_state, c.state);
    }
    EXPECT_EQ(peek(dev).ac_data_flag, 0);
    EXPECT_EQ(peek(dev).rc_data_flag, 0);

    // A status reply of the right length for more modules than the plant has: the decoder
    // refuses it, as a reply it cannot read.
    host.clear();
    dev.poll_state = 5;
    EXPECT_EQ(payload(0x41, body::rc_status(4)), 1);
    EXPECT_EQ(host.log, std::vector<std::string>{
                            "PMBusPower:ProcotolError 7 parse p41_43 overflow memory boundary"});
    EXPECT_TRUE(host.sent.empty());
}

TEST_F(PollingTest, EveryModuleRemovedEmptiesTheListAndShrinksTheBlock) {
    dev.data_id = 7;
    full_round(2, 3);
    ASSERT_EQ(host.last("SendSP")->bytes.size(), 381u);
    ASSERT_EQ(body::rc_analogue(0, 5300, {}).size(), 4u); // flag, out_v, N = 0
    // A shelf without modules is a state like any other: every round completes without a
    // protocol error.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(round(0, 0, 0, 2, 0), kQuietRound) << "round " << i;
        ASSERT_EQ(host.count("SendSP"), 1) << "round " << i;
        EXPECT_EQ(host.last("SendSP")->bytes.size(), 381u - 3 * 19) << "round " << i;
        EXPECT_EQ(host.log, std::vector<std::string>{}) << "round " << i;
        EXPECT_TRUE(peek(dev).rc_channels.empty()) << "round " << i;
        EXPECT_EQ(got(peek(dev).rcData.channel_count), 0) << "round " << i;
    }
}

TEST_F(PollingTest, DcReplyForTwoUnitsStopsTheRound) {
    dev.poll_state = 7;
    GetCapturedStdout();
    CaptureStdout();
    EXPECT_EQ(payload(0x42, cat({0x00, 2}, body::dc_analogue())), 1);
    EXPECT_EQ(GetCapturedStdout(), "42_42 dc_number 2\n");
    CaptureStdout();
    EXPECT_EQ(host.count("SendSP"), 0);
    EXPECT_TRUE(host.sent.empty());
}

TEST_F(PollingTest, PendingControlSwallowsTheNextReply) {
    round(0, 0, 0);
    dev.RefreshStatus();
    parameters(); // the AC analogue query is in flight
    const std::string request = "419500601003";
    int used = 0;
    ASSERT_EQ(dev.DeviceIoControl(320, request.data(), 12, nullptr, 0, used), 0);
    EXPECT_EQ(dev.poll_state, 320);
    const float before = got(peek(dev).ac_channels[0].ua);
    host.clear();
    // The answer to the poll command arrives first: it is taken as the control's answer.
    body::AcLine changed;
    changed.ua = 10000;
    EXPECT_EQ(payload(0x40, cat({0, 1}, body::ac_analogue({changed, changed}))), 0);
    EXPECT_EQ(peek(dev).ctrl_result, 1);
    EXPECT_EQ(got(peek(dev).ac_channels[0].ua), before);
    EXPECT_TRUE(host.sent.empty());
    // The next round starts over from the parameter query.
    dev.RefreshStatus();
    EXPECT_EQ(dev.poll_state, 9);
    EXPECT_EQ(host.sent, std::vector<Command>{kParams});
}

TEST_F(PollingTest, ParametersAreTakenOnlyFromTheDcDistributionGroup) {
    dev.data_id = 9;
    dev.RefreshStatus();
    parameters(5350, 5640);
    EXPECT_EQ(peek(dev).param47_a, 5350);
    EXPECT_EQ(peek(dev).param47_b, 5640);
    // A late rectifier reply of the previous round arrives first: logged, the parameters kept,
    // and the round goes on.
    dev.RefreshStatus();
    const Bytes late = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_EQ(payload(0x41, late), 1);
    EXPECT_EQ(peek(dev).param47_a, 5350);
    EXPECT_EQ(peek(dev).param47_b, 5640);
    EXPECT_EQ(host.sent.back(), kAcAnalogue);
    EXPECT_EQ(dev.poll_state, 1);
    EXPECT_EQ(host.log, std::vector<std::string>{
                            "PMBusPower:ProcotolError 9 parameter reply from group 0x41 ignored"});
    dev.RefreshStatus();
    EXPECT_EQ(payload(0x40, late), 1);
    EXPECT_EQ(host.log, (std::vector<std::string>{
                            "PMBusPower:ProcotolError 9 parameter reply from group 0x41 ignored",
                            "PMBusPower:ProcotolError 9 parameter reply from group 0x40 ignored"}));
    EXPECT_EQ(peek(dev).param47_a, 5350);
    // A late DC analogue reply of the previous round, or one too short for the parameters, is
    // not a parameter reply: left unread, and the step waits for its own reply.
    dev.RefreshStatus();
    host.clear();
    EXPECT_EQ(payload(0x42, cat({0, 1}, body::dc_analogue(0x0102, 0x0304))), 1);
    EXPECT_EQ(payload(0x42, Bytes(12, 0xEE)), 1);
    EXPECT_EQ(peek(dev).param47_a, 5350);
    EXPECT_EQ(peek(dev).param47_b, 5640);
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(dev.poll_state, 9);
    EXPECT_EQ(host.log.size(), 2u);
    parameters(5400, 5600);
    EXPECT_EQ(peek(dev).param47_a, 5400);
    EXPECT_EQ(host.sent.back(), kAcAnalogue);
}

TEST_F(PollingTest, DiagnosticLinesOfTheCycleAreExact) {
    // A first round: every line the cycle and its decoders print, whole and in order.
    GetCapturedStdout();
    CaptureStdout();
    round(0, 0, 0);
    EXPECT_EQ(GetCapturedStdout(), "ac number is 1\n"
                                   "acData channel_count 2\n"
                                   "out_v is 53.000000\n"
                                   "parse41_42 channel_count 3\n"
                                   "rcchannel p41_41_count 0\n"
                                   "rcchannel p41_41_count 0\n"
                                   "rcchannel p41_41_count 0\n"
                                   "parse41_43 channel_count 3\n"
                                   "rcchannel p41_44_count 0\n"
                                   "rcchannel p41_44_count 0\n"
                                   "rcchannel p41_44_count 0\n"
                                   "42_42 dc_number 1\n"
                                   "parse 42_42 m 2 2\n"
                                   "parse 42_42 n 1 20\n"
                                   "parse 42_42 p 0 9\n"
                                   "42_42 used_len 13\n"
                                   "MPX23_42_44 dc_number 1\n"
                                   " dcData.alert_m_count 0 42\n"
                                   " dcData.alert_p_count 0 3\n");
    EXPECT_EQ(host.log, std::vector<std::string>{"PMBusPower:AlarmProfile 0 set to 2: the AC "
                                                 "distribution reports two or more inputs"});

    // The lines of a round that stops.
    struct Case {
        int state;
        uint8_t group;
        Bytes info;
        const char *printed;
    };
    const Case cases[] = {
        {1, 0x40, {0x00, 3, 2}, "ac number is 3\n"},
        {7, 0x42, {0x00, 1, 0x14}, "42_42 dc_number 1\n"},
        {7, 0x42, {0x00, 0}, "42_42 dc_number 0\n"},
        {8, 0x42, {0x00, 2, 0, 0, 0}, "MPX23_42_44 dc_number 2\n"},
    };
    for (const Case &c : cases) {
        dev.poll_state = c.state;
        CaptureStdout();
        EXPECT_EQ(payload(c.group, c.info), 1);
        EXPECT_EQ(GetCapturedStdout(), c.printed);
    }
    CaptureStdout();
}

TEST_F(PollingTest, RepliesTooShortForTheirStepStopTheRoundSafely) {
    round(0, 0, 0);
    for (int state : {1, 2, 3, 4, 5, 6, 7, 8}) {
        host.clear();
        dev.poll_state = state;
        const uint8_t group = state <= 3 ? 0x40 : state <= 6 ? 0x41 : 0x42;
        payload(group, {});
        payload(group, {0x00});
        EXPECT_TRUE(host.sent.empty()) << "state " << state;
        EXPECT_EQ(host.count("SendSP"), 0) << "state " << state;
    }
}

} // namespace
