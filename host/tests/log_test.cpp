#include "host/common/log.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using std::chrono::seconds;

TEST(RateLimiter, OneLinePerKeyAndPeriodCountingTheRest) {
    host::RateLimiter limiter(seconds(60));
    const auto t0 = host::RateLimiter::Clock::time_point{} + seconds(1000);
    unsigned suppressed = 99;
    EXPECT_TRUE(limiter.allow("a", t0, suppressed));
    EXPECT_EQ(suppressed, 0u);
    EXPECT_FALSE(limiter.allow("a", t0 + seconds(1), suppressed));
    EXPECT_FALSE(limiter.allow("a", t0 + seconds(59), suppressed));
    EXPECT_TRUE(limiter.allow("b", t0 + seconds(2), suppressed)); // another key goes through
    EXPECT_TRUE(limiter.allow("a", t0 + seconds(60), suppressed));
    EXPECT_EQ(suppressed, 2u);
    EXPECT_FALSE(limiter.allow("a", t0 + seconds(61), suppressed));
    EXPECT_TRUE(limiter.allow("a", t0 + seconds(125), suppressed));
    EXPECT_EQ(suppressed, 1u);
}

TEST(Log, LimitedLinesSayHowManyWereHeldBack) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    host::Log log(f, std::chrono::milliseconds(30));
    log.limited("k", "first");
    log.limited("k", "second");
    log.limited("k", "third");
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    log.limited("k", "fourth");
    log.error("plain");
    std::rewind(f);
    char buf[512] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    const std::string text(buf, n);
    EXPECT_NE(text.find("mpx23-host: first\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("second"), std::string::npos) << text;
    EXPECT_NE(text.find("mpx23-host: fourth (2 similar suppressed)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nmpx23-host: plain\n"), std::string::npos) << text;
}

} // namespace
