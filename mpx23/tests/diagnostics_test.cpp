// The diagnostic lines put together without printf write the bytes printf writes.
#include "mpx23/diagnostics.h"
#include "mpx23/telemetry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace {

std::string by_printf(float number) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%f", static_cast<double>(number));
    return std::string(text, static_cast<size_t>(n));
}

// put_fixed6's text, or "(refused)" when it leaves the number to printf.
std::string by_put_fixed6(float number) {
    char text[32];
    char *end = diagnostics::put_fixed6(text, number);
    return end ? std::string(text, static_cast<size_t>(end - text)) : "(refused)";
}

float from_bits(uint32_t bits) {
    float number = 0.0f;
    std::memcpy(&number, &bits, sizeof number);
    return number;
}

} // namespace

TEST(Diagnostics, EveryVoltageAReplyCanCarryReadsAsPrintfWritesIt) {
    for (unsigned raw = 0; raw <= 0xFFFF; ++raw) {
        const float volts =
            reply_value::scaled(static_cast<uint8_t>(raw >> 8), static_cast<uint8_t>(raw & 0xFF));
        ASSERT_EQ(by_put_fixed6(volts), by_printf(volts)) << raw;
    }
}

TEST(Diagnostics, FixedSixDecimalsRoundHalfToEvenLikePrintf) {
    // Exact halves of the last decimal (0.0078125 = 2^-7, ...), signed zeros, values that
    // round to zero, subnormals, the largest taken value, and the carry into the integer part.
    const float cases[] = {0.0078125f,
                           0.0234375f,
                           0.0000005f,
                           -0.0000005f,
                           0.0f,
                           -0.0f,
                           1e-7f,
                           -1e-7f,
                           1e-30f,
                           from_bits(1),
                           from_bits(0x80000001u),
                           4294967040.0f,
                           -4294967040.0f,
                           0.9999995f,
                           9.9999995f,
                           123.456789f,
                           65535.0f / 100.0f};
    for (float number : cases)
        EXPECT_EQ(by_put_fixed6(number), by_printf(number)) << by_printf(number);

    // A spread of bit patterns over the whole range that is taken.
    uint32_t state = 12345;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1664525u + 1013904223u;
        const float number = from_bits(state);
        if (std::isfinite(number) && std::fabs(number) < 4294967296.0f) {
            ASSERT_EQ(by_put_fixed6(number), by_printf(number)) << state;
        }
    }
}

TEST(Diagnostics, NumbersOutsideTheTakenRangeAreLeftToPrintf) {
    for (float number : {4294967296.0f, -4294967296.0f, std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN(), 3.4e38f})
        EXPECT_EQ(by_put_fixed6(number), "(refused)");

    // The whole line is printf's, in and out of the range.
    testing::internal::CaptureStdout();
    diagnostics::say_fixed6("out_v is ", 53.54f);
    diagnostics::say_fixed6("out_v is ", -1e20f);
    diagnostics::say_fixed6("out_v is ", std::numeric_limits<float>::infinity());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "out_v is 53.540001\nout_v is -100000002004087734272.000000\nout_v is inf\n");
}
