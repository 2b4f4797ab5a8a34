// The form of the host's command requests (protocol/request_form.h) and the names a transcript
// gives the protocol's codes (protocol/codes.h).
#include "protocol/codes.h"
#include "protocol/request_form.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

TEST(RequestForm, ADecimalNumberIsReadWholeOrNotAtAll) {
    const struct {
        std::string_view text;
        double value;
    } taken[] = {
        {"53.5", 53.5},    {"  12.5\t", 12.5}, {"+5.35e1", 53.5}, {"-2.", -2.0},  {".5", 0.5},
        {"0054E-0", 54.0}, {"1E+2", 100.0},    {"-7", -7.0},      {"1e-2", 0.01}, {"007", 7.0},
    };
    for (const auto &c : taken) {
        double value = -1.0;
        EXPECT_TRUE(protocol::read_decimal_number(c.text, value)) << c.text;
        EXPECT_DOUBLE_EQ(value, c.value) << c.text;
    }
    const std::string_view refused[] = {
        "",      "  ",    "0x20",     "0X1F",       "inf",
        "-inf",  "nan",   "infinity", "53.5 volts", "  12.5 V",
        "53,5",  "1e",    "1e+",      ".",          "-",
        "+-1",   "1.2.3", "5 3",      "53.5\n",     "e5",
        "1e2.5", "+",     "1_000",    " - 1",       std::string_view("1\0", 2),
    };
    for (std::string_view text : refused) {
        double value = 7.0;
        EXPECT_FALSE(protocol::read_decimal_number(text, value)) << text;
        EXPECT_EQ(value, 7.0) << text; // untouched
    }
}

TEST(RequestForm, AControlRequestIsTheIdentifierThenOneToThreeDigits) {
    const struct {
        std::string_view text, command_id;
        uint8_t module;
    } taken[] = {
        {"419500200002", "419500200", 2},   {"4195006000", "419500600", 0},
        {"419500201255", "419500201", 255}, {"41950060007", "419500600", 7},
        {"ABCDEFGHI9", "ABCDEFGHI", 9}, // the form only: whether the identifier is known is not
    };
    for (const auto &c : taken) {
        protocol::ControlRequest request;
        ASSERT_TRUE(protocol::read_control_request(c.text, request)) << c.text;
        EXPECT_EQ(request.command_id, c.command_id);
        EXPECT_EQ(request.module, c.module) << c.text;
    }
    for (std::string_view text : {"", "41950020", "419500200", "419500200256", "4195002000002",
                                  "419500200 2", "4195002002 ", "419500200+2", "419500200-1",
                                  "419500200x", "4195002000x2", "4195002001e2"})
        EXPECT_FALSE(protocol::is_control_request(text)) << text;
}

TEST(RequestForm, ASetRequestNamesASignalAndANumber) {
    const struct {
        std::string text;
        double value;
    } taken[] = {
        {R"({"signal_id": "4196A3201001", "SetValue": 53.5})", 53.5},
        {R"({"signal_id": "4196A3201001", "SetValue": "  53.5 "})", 53.5},
        {R"({"signal_id": "x", "SetValue": "+5.35e1"})", 53.5},
        {R"({"SetValue": -1, "note": [1, 2], "signal_id": "4196A3301001"} // comment)", -1.0},
        {R"({"signal_id": "4196A3201001", "SetValue": 1e10})",
         1e10}, // whether it fits: the driver's
    };
    for (const auto &c : taken) {
        protocol::SetRequest request;
        ASSERT_TRUE(protocol::read_set_request(c.text, request)) << c.text;
        EXPECT_DOUBLE_EQ(request.value, c.value) << c.text;
    }
    protocol::SetRequest request;
    ASSERT_TRUE(protocol::read_set_request(taken[2].text, request));
    EXPECT_EQ(request.signal_id, "x");

    const auto set = [](const std::string &id, const std::string &value) {
        return R"({"signal_id": )" + id + R"(, "SetValue": )" + value + "}";
    };
    // The driver's tests refuse the rest through DeviceIoControl.
    const std::string refused[] = {
        "[1, 2]",
        R"({"SetValue": 1})",
        set("4196", "1"), // a number is no identifier
        set(R"("")", "1"),
        set("true", "1"),
        set(R"("x")", "true"),
        set(R"("x")", "[53.5]"),
        set(R"("x")", R"("0x20")"),
        std::string(2000, '[') + std::string(2000, ']'), // deeper than the reader goes
    };
    for (const std::string &text : refused)
        EXPECT_FALSE(protocol::is_set_request(text)) << text;
}

TEST(ProtocolCodes, EveryDeviceSpecificReturnCodeSharesOneName) {
    EXPECT_STREQ(protocol::return_code_name(0x06), "invalid data");
    for (uint8_t code : {0x80, 0xA5, 0xEF})
        EXPECT_STREQ(protocol::return_code_name(code), "device-specific error") << int(code);
    for (uint8_t code : {0x07, 0x7F, 0xF0, 0xFF})
        EXPECT_EQ(protocol::return_code_name(code), nullptr) << int(code);
    EXPECT_STREQ(protocol::group_name(0x41), "rectifier modules");
    EXPECT_STREQ(protocol::command_name(0x49), "set a parameter");
    EXPECT_EQ(protocol::command_name(0x46), nullptr);
}

} // namespace
