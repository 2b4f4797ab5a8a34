// Get_Value: readiness, freshness on the monotonic clock, and the two named values.
#include "tests/driver_fixture.h"

#include <chrono>
#include <limits>

namespace {

std::chrono::steady_clock::time_point fake_now;
std::chrono::steady_clock::time_point read_fake_clock() {
    return fake_now;
}

struct VariableQueryTest : QuietDriverTest {
    void SetUp() override {
        QuietDriverTest::SetUp();
        fake_now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
        dev.steady_now = &read_fake_clock;
    }

    std::string failure(const std::string &name, unsigned index = 0) {
        try {
            dev.Get_Value(index, name);
        } catch (const std::out_of_range &e) {
            return e.what();
        }
        return "(no failure)";
    }
    void set_phases(float v) {
        for (auto &line : peek(dev).ac_channels) {
            line.ua = v;
            line.ub = v;
            line.uc = v;
        }
    }
};

TEST_F(VariableQueryTest, NothingIsServedBeforeARoundOfThisObject) {
    for (const char *name : {"out_v", "ac", "other"})
        EXPECT_EQ(failure(name), "数据未就绪");
    // A cache load makes the device ready for the host, but nothing has been decoded.
    std::vector<unsigned char> cached(381, 0x42);
    ASSERT_EQ(dev.LoadFromCache(cached.data(), 381), 1);
    EXPECT_EQ(failure("out_v"), "数据未就绪");
    EXPECT_EQ(failure("ac"), "数据未就绪");
    full_round();
    EXPECT_EQ(dev.Get_Value(0, "out_v"), 53.0f);
}

TEST_F(VariableQueryTest, FreshForSixtySecondsOnTheMonotonicClock) {
    full_round();
    fake_now += std::chrono::seconds(60);
    EXPECT_EQ(dev.Get_Value(0, "out_v"), 53.0f);
    EXPECT_EQ(dev.Get_Value(7, "out_v"), 53.0f);
    for (const char *name : {"OUT_V", " ac", ""})
        EXPECT_EQ(failure(name), "不支持变量") << name;

    fake_now += std::chrono::seconds(1);
    for (const char *name : {"out_v", "ac", "OUT_V", " ac", ""})
        EXPECT_EQ(failure(name), "数据已超时") << name;

    // The next completed round makes the data fresh again.
    full_round();
    EXPECT_EQ(dev.Get_Value(0, "out_v"), 53.0f);
}

TEST_F(VariableQueryTest, AcOutageNeedsEveryPhaseBelowTheLimit) {
    full_round();
    set_phases(149.9f);
    EXPECT_EQ(dev.Get_Value(0, "ac"), 1.0f);
    peek(dev).ac_channels[1].uc = 150.0f;
    EXPECT_EQ(dev.Get_Value(0, "ac"), 0.0f);
    peek(dev).ac_channels[1].uc = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(dev.Get_Value(0, "ac"), 0.0f);
    set_phases(0.0f); // no AC supply at all
    EXPECT_EQ(dev.Get_Value(3, "ac"), 1.0f);
    // A third input is not part of the indication.
    peek(dev).ac_channels.push_back(mpx23_ac_channel{});
    peek(dev).ac_channels[2].ua = 230.0f;
    EXPECT_EQ(dev.Get_Value(0, "ac"), 1.0f);
}

TEST_F(VariableQueryTest, AcReadsOnlyTheRecordsThatExist) {
    full_round(1, 3);
    set_phases(100.0f);
    EXPECT_EQ(dev.Get_Value(0, "ac"), 1.0f);
    peek(dev).ac_channels[0].ub = 230.0f;
    EXPECT_EQ(dev.Get_Value(0, "ac"), 0.0f);

    // The power system now reports no AC input at all.
    full_round(0, 3);
    ASSERT_TRUE(peek(dev).ac_channels.empty());
    EXPECT_EQ(failure("ac"), "数据未就绪");
    EXPECT_EQ(dev.Get_Value(0, "out_v"), 53.0f);
}

} // namespace
