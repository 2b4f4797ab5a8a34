#include "host/common/clock_text.h"
#include "host/tests/fixed_time_zone.h"

#include <gtest/gtest.h>

namespace {

// Stored local times read in the zone's rules of that date; what is no local time stays as it is.
TEST(ClockText, LocalTimesGainTheOffsetTheyHadThen) {
    {
        const FixedTimeZone zone(kCentralEurope);
        const std::pair<const char *, const char *> cases[] = {
            {"2026-12-08 14:54:04", "2026-12-08T14:54:04+01:00"}, // winter
            {"2026-07-01 00:00:00", "2026-07-01T00:00:00+02:00"}, // summer
            {"2026-03-29 01:59:59", "2026-03-29T01:59:59+01:00"}, // the last second of winter
            {"2026-03-29 03:00:00", "2026-03-29T03:00:00+02:00"},
            {"2026-12-08T21:40:03.125Z", "2026-12-08T21:40:03.125Z"}, // UTC already
            {"0000-00-00 00:00:00", "0000-00-00 00:00:00"},           // a record never written
            {"2026-02-30 10:00:00", "2026-02-30 10:00:00"},
            {"2026-12-08 14:54", "2026-12-08 14:54"},
            {"", ""},
        };
        for (const auto &[local, iso] : cases)
            EXPECT_EQ(host::iso_local_time(local), iso) << local;
    }
    const FixedTimeZone west("<-0330>3:30"); // west of Greenwich, in hours and minutes
    EXPECT_EQ(host::iso_local_time("2026-12-08 14:54:04"), "2026-12-08T14:54:04-03:30");
    const FixedTimeZone utc("UTC0");
    EXPECT_EQ(host::iso_local_time("2026-12-08 14:54:04"), "2026-12-08T14:54:04+00:00");
}

} // namespace
