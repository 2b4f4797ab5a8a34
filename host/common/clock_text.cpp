#include "host/common/clock_text.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace host {

std::string local_time_text() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string utc_time_text() {
    const auto now = std::chrono::system_clock::now();
    return iso_utc_time(std::chrono::duration<double>(now.time_since_epoch()).count());
}

std::string iso_utc_time(double epoch_seconds) {
    const long long whole_ms = std::llround(epoch_seconds * 1000.0);
    const std::time_t seconds = static_cast<std::time_t>(whole_ms / 1000);
    const long long ms = whole_ms % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms));
    return text;
}

namespace {

// The fields of a local "YYYY-MM-DD HH:MM:SS", false unless the whole text is one with every
// field in its range (a record the driver never wrote reads all zeros).
bool read_local_text(const std::string &text, std::tm &out) {
    int consumed = 0;
    if (text.size() != 19 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &out.tm_year, &out.tm_mon,
                    &out.tm_mday, &out.tm_hour, &out.tm_min, &out.tm_sec, &consumed) != 6 ||
        consumed != 19)
        return false;
    return out.tm_mon >= 1 && out.tm_mon <= 12 && out.tm_mday >= 1 && out.tm_mday <= 31 &&
           out.tm_hour <= 23 && out.tm_min <= 59 && out.tm_sec <= 60 && out.tm_year >= 1900;
}

} // namespace

namespace {

std::string convert_local_time(const std::string &local_text) {
    std::tm local{};
    if (!read_local_text(local_text, local))
        return local_text;
    const int day = local.tm_mday;
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_isdst = -1; // the zone's rules say whether summer time applied then
    if (std::mktime(&local) == static_cast<std::time_t>(-1) || local.tm_mday != day)
        return local_text; // no such day (30 February)
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset_min = local.tm_gmtoff / 60;
    const long magnitude = offset_min < 0 ? -offset_min : offset_min;
    std::snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", offset_min < 0 ? '-' : '+',
                  magnitude / 60, magnitude % 60);
    return text;
}

// The answers last given, with the zone they were worked out in (TZ, or none).
struct Converted {
    bool zone_set = false;
    std::string zone, local, iso;
};

} // namespace

// A round's records carry the same one or two times, and each conversion takes the zone's rules
// through mktime, which is dear on the controller's core: the last few answers are kept. They
// hold for as long as TZ does; the C library itself reads the zone again only when TZ changes.
std::string iso_local_time(const std::string &local_text) {
    thread_local Converted kept[4];
    thread_local size_t next = 0;
    const char *zone = std::getenv("TZ");
    for (const Converted &c : kept)
        if (c.local == local_text && c.zone_set == (zone != nullptr) && (!zone || c.zone == zone))
            return c.iso;
    Converted &c = kept[next];
    next = (next + 1) % (sizeof kept / sizeof kept[0]);
    c.zone_set = zone != nullptr;
    c.zone = zone ? zone : "";
    c.local = local_text;
    c.iso = convert_local_time(local_text);
    return c.iso;
}

} // namespace host
