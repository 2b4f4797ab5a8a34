// Control requests: parameter setting (310), remote control (320), status queries, and every
// request that must be refused before anything reaches the power system.
#include "tests/driver_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testing_host::cmd;
using testing_host::Command;

namespace {

struct ControlTest : QuietDriverTest {

    int control(int code, const std::string &request) {
        used = 77;
        return dev.DeviceIoControl(code, request.data(), static_cast<int>(request.size()), nullptr,
                                   0, used);
    }
    int32_t status(int code = 311) {
        int32_t answer = 12345;
        int n = 0;
        EXPECT_EQ(dev.DeviceIoControl(code, nullptr, 0, &answer, 4, n), 0);
        EXPECT_EQ(n, 4);
        return answer;
    }
    static std::string set(const std::string &id, const std::string &value_json) {
        return R"({"signal_id": ")" + id + R"(", "SetValue": )" + value_json + "}";
    }
    int used = 0;
};

TEST_F(ControlTest, StatusQueriesAndUnhandledCodesAnswerWithinTheRoomGiven) {
    GetCapturedStdout();
    CaptureStdout();
    for (int code : {301, 311, 321})
        EXPECT_EQ(status(code), -1);
    EXPECT_EQ(GetCapturedStdout(), "MPX23 DeviceIoControl code:301\n"
                                   "MPX23 DeviceIoControl code:311\n"
                                   "MPX23 DeviceIoControl code:321\n");
    CaptureStdout();
    for (int code : {300, 302, 400})
        EXPECT_EQ(status(code), 2);

    // Too little room, negative room, no buffer: nothing written, out_used 0.
    unsigned char out[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    for (int code : {301, 400}) {
        for (int room : {3, 0, -1}) {
            int n = 9;
            EXPECT_EQ(dev.DeviceIoControl(code, nullptr, 0, out, room, n), 0);
            EXPECT_EQ(n, 0);
        }
        int n = 9;
        EXPECT_EQ(dev.DeviceIoControl(code, nullptr, 0, nullptr, 4, n), 0);
        EXPECT_EQ(n, 0);
    }
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_TRUE(host.sent.empty());
}

TEST_F(ControlTest, ParameterSettingSendsTheHundredfold) {
    struct Case {
        std::string request;
        std::vector<uint8_t> info;
    };
    const Case cases[] = {
        {set("4196A3201001", R"("53.5")"), {0x84, 0x14, 0xE6}},
        {set("4196A3101001", "53.5"), {0x85, 0x14, 0xE6}},
        {set("4196A3301001", "-1.5"), {0x98, 0xFF, 0x6A}},
        {set("4196A3201001", "0.29"), {0x84, 0x00, 0x1C}}, // truncated, not rounded
        {set("4196A3201001", "327.67"), {0x84, 0x7F, 0xFF}},
        {set("4196A3201001", "327.68"), {0x84, 0x80, 0x00}},
        {set("4196A3201001", "400"), {0x84, 0x9C, 0x40}}, // low 16 bits of 40000
        {set("4196A3201001", R"("  12.5\t")"), {0x84, 0x04, 0xE2}},
        {set("4196A3201001", R"("+5.35e1")"), {0x84, 0x14, 0xE6}},
        {set("4196A3201001", R"(".5")"), {0x84, 0x00, 0x32}},
        {set("4196A3201001", R"("-2.")"), {0x84, 0xFF, 0x38}},
        {set("4196A3201001", R"("0054E-0")"), {0x84, 0x15, 0x18}},
        {set("4196A3201001", "5.35e1"), {0x84, 0x14, 0xE6}},
        {R"({"SetValue": 1, "signal_id": "4196A3201001", "note": [1, 2]} // comment)",
         {0x84, 0x00, 0x64}},
    };
    for (const auto &c : cases) {
        host.clear();
        dev.poll_state = 4;
        EXPECT_EQ(control(310, c.request), 0) << c.request;
        EXPECT_EQ(used, 77); // untouched
        EXPECT_EQ(dev.poll_state, 310);
        EXPECT_EQ(host.sent, std::vector<Command>{cmd(0x42, 0x49, c.info)}) << c.request;
        EXPECT_EQ(host.names(), (std::vector<std::string>{"OpenPort", "SendData"}));
    }
}

TEST_F(ControlTest, MalformedParameterRequestsAreRefusedWithNothingSent) {
    const std::string refused[] = {
        "not json",
        "[1, 2]",
        R"("4196A3201001")",
        R"({"signal_id": "4196A3201001"})",
        R"({"SetValue": 1})",
        set("", "1"),
        set("4196A3201002", "1"),
        set("4196a3201001", "1"),
        R"({"signal_id": null, "SetValue": 1})",
        R"({"signal_id": ["4196A3201001"], "SetValue": 1})",
        R"({"signal_id": {"a": 1}, "SetValue": 1})",
        set("4196A3201001", "null"),
        set("4196A3201001", R"("abc")"),
        set("4196A3201001", R"("")"),
        set("4196A3201001", "[53.5]"),
        set("4196A3201001", R"({"v": 1})"),
        set("4196A3201001", "true"),
        set("4196A3201001", R"("inf")"),
        set("4196A3201001", R"("nan")"),
        set("4196A3201001", "1e10"),
        set("4196A3201001", "655.36"),  // 65536 needs 17 bits
        set("4196A3201001", "-327.69"), // -32769 likewise
        // A text that is not one complete decimal number, however much of it reads as one.
        set("4196A3201001", R"("0x20")"),
        set("4196A3201001", R"("53.5 volts")"),
        set("4196A3201001", R"("  12.5 V")"),
        set("4196A3201001", R"("53,5")"),
        set("4196A3201001", R"("1e")"),
        set("4196A3201001", R"("1e+")"),
        set("4196A3201001", R"(".")"),
        set("4196A3201001", R"("-")"),
        set("4196A3201001", R"("+-1")"),
        set("4196A3201001", R"("1.2.3")"),
        set("4196A3201001", R"("  ")"),
        set("4196A3201001", R"("infinity")"),
        set("4196A3201001", R"("5 3")"),
        set("4196A3201001", R"("53.5\n")"),
    };
    peek(dev).ctrl_result = 1;
    for (const auto &request : refused) {
        host.clear();
        dev.poll_state = 5;
        EXPECT_EQ(control(310, request), -1) << request;
        EXPECT_TRUE(host.sent.empty()) << request;
        EXPECT_EQ(dev.poll_state, 5) << request; // the round in progress goes on
        EXPECT_EQ(peek(dev).ctrl_result, -1);
        peek(dev).ctrl_result = 1;
    }
    // No request bytes behind a positive length: an empty request.
    EXPECT_EQ(dev.DeviceIoControl(310, nullptr, 40, nullptr, 0, used), -1);
    EXPECT_EQ(status(), -1);
    // The boundaries themselves are sent.
    EXPECT_EQ(control(310, set("4196A3201001", "655.35")), 0);
    EXPECT_EQ(control(310, set("4196A3201001", "-327.68")), 0);
    EXPECT_EQ(host.sent.back(), cmd(0x42, 0x49, {0x84, 0x80, 0x00}));
}

TEST_F(ControlTest, RemoteControlNamesACommandAndAModule) {
    struct Case {
        std::string request;
        std::vector<uint8_t> info;
    };
    const Case cases[] = {
        {"419500601003", {0x10, 0x03}}, {"4195002000", {0x2F, 0x00}}, // module 0: every module
        {"419500201255", {0x20, 0xFF}}, {"41950060007", {0x1F, 0x07}},
        {"41950060212", {0x11, 0x0C}},
    };
    for (const auto &c : cases) {
        host.clear();
        EXPECT_EQ(control(320, c.request), 0) << c.request;
        EXPECT_EQ(dev.poll_state, 320);
        EXPECT_EQ(host.sent, std::vector<Command>{cmd(0x41, 0x45, c.info)}) << c.request;
    }
    // Exactly the identifier and one to three digits: nothing else is read as a module.
    for (const std::string request :
         {"41950060", "419500603003", "419500201300", "419500201abc", "419500201-1", "",
          "419500200", "4195002015junk", "4195002002x", "419500600 7", "419500602+12",
          "4195006020019999", "4195006013xy", "4195006010003", "419500601 3", "4195006013 "}) {
        host.clear();
        dev.poll_state = 6;
        EXPECT_EQ(control(320, request), -1) << request;
        EXPECT_TRUE(host.sent.empty()) << request;
        EXPECT_EQ(dev.poll_state, 6);
    }
}

TEST_F(ControlTest, StatusFollowsTheReplyToTheLastRequest) {
    ASSERT_EQ(control(320, "419500601003"), 0);
    EXPECT_EQ(status(321), -1);
    reply(0x41, {}); // any reply frame answers the command
    EXPECT_EQ(peek(dev).ctrl_result, 1);
    EXPECT_EQ(status(311), 1); // all three status codes answer alike
    dev.RefreshStatus();
    EXPECT_EQ(status(301), 1);
    // A new request starts over.
    ASSERT_EQ(control(310, set("4196A3201001", "1")), 0);
    EXPECT_EQ(status(), -1);
}

TEST_F(ControlTest, ARequestTheDeviceAnswersWithAnErrorReturnIsRefused) {
    for (unsigned rtn = 0x01; rtn <= 0xFF; ++rtn) {
        ASSERT_EQ(control(320, "419500601003"), 0);
        auto wire = frames::bytes(frames::reply(0x41, {}, static_cast<uint8_t>(rtn)));
        EXPECT_EQ(dev.process(wire.data(), static_cast<unsigned>(wire.size())), 0) << rtn;
        EXPECT_EQ(status(321), -1) << rtn;
        EXPECT_EQ(dev.refusal(), static_cast<int>(rtn)) << rtn;
    }
    EXPECT_EQ(dev.poll_state, 320); // still waiting for an answer
    reply(0x41, {});
    EXPECT_EQ(status(321), 1);
}

} // namespace
