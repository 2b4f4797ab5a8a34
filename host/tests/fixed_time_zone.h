// A test's own time zone, so that local times convert the same on every machine; the zone the
// process had comes back when the test ends.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

// Central European time as a POSIX rule: it needs no zone database on the machine.
inline constexpr const char *kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

class FixedTimeZone {
public:
    explicit FixedTimeZone(const char *zone) {
        if (const char *now = std::getenv("TZ"))
            previous = now;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~FixedTimeZone() {
        if (previous)
            setenv("TZ", previous->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    FixedTimeZone(const FixedTimeZone &) = delete;
    FixedTimeZone &operator=(const FixedTimeZone &) = delete;

private:
    std::optional<std::string> previous;
};
