#include "host/stores/history_time.h"

#include "host/common/device_config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <optional>

namespace host {

const char *const kHistoryTimeForms =
    "YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS] (also with a blank for T) local or with Z or +HH:MM, or "
    "a span back from now such as 90m, 2h or 7d";

namespace {

const struct {
    char unit;
    long seconds;
} kSpanUnits[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};

std::string stored_text(const std::tm &fields) {
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

std::string local_text(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return stored_text(local);
}

bool all_digits(const std::string &text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
}

// "90m": the number of seconds back from now (at most six digits: thousands of years).
std::optional<long> span_seconds(const std::string &text) {
    if (text.size() < 2 || text.size() > 7 || !all_digits(text.substr(0, text.size() - 1)))
        return std::nullopt;
    const auto unit = std::find_if(std::begin(kSpanUnits), std::end(kSpanUnits),
                                   [&](const auto &u) { return u.unit == text.back(); });
    if (unit == std::end(kSpanUnits))
        return std::nullopt;
    return std::atol(text.c_str()) * unit->seconds;
}

// "Z", "+01:00", "+0100", "+01": seconds east of UTC.
std::optional<long> offset_seconds(const std::string &text) {
    if (text == "Z")
        return 0;
    if (text.size() < 3 || (text[0] != '+' && text[0] != '-'))
        return std::nullopt;
    std::string digits = text.substr(1);
    if (digits.size() == 5 && digits[2] == ':')
        digits.erase(2, 1);
    if (!all_digits(digits) || (digits.size() != 2 && digits.size() != 4))
        return std::nullopt;
    const long hours = std::atol(digits.substr(0, 2).c_str());
    const long minutes = digits.size() == 4 ? std::atol(digits.substr(2).c_str()) : 0;
    if (hours > 23 || minutes > 59)
        return std::nullopt;
    return (text[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
}

// Whether `text` holds `pattern` at `at`: '#' a digit, anything else itself.
bool holds(const std::string &text, size_t at, const char *pattern) {
    for (size_t i = 0; pattern[i]; ++i) {
        if (at + i >= text.size())
            return false;
        const unsigned char c = text[at + i];
        if (pattern[i] == '#' ? !std::isdigit(c) : c != pattern[i])
            return false;
    }
    return true;
}

int number_at(const std::string &text, size_t at, size_t digits) {
    return std::atoi(text.substr(at, digits).c_str());
}

// The calendar fields of "YYYY-MM-DD[(T| )HH:MM[:SS]]" and how many characters they take; 0
// when the text has no such start or a field is out of its range (the 30th of February too).
size_t calendar_fields(const std::string &text, std::tm &fields) {
    if (!holds(text, 0, "####-##-##"))
        return 0;
    fields = {};
    fields.tm_year = number_at(text, 0, 4) - 1900;
    fields.tm_mon = number_at(text, 5, 2) - 1;
    fields.tm_mday = number_at(text, 8, 2);
    size_t used = 10;
    if (holds(text, 10, "T##:##") || holds(text, 10, " ##:##")) {
        fields.tm_hour = number_at(text, 11, 2);
        fields.tm_min = number_at(text, 14, 2);
        used = 16;
        if (holds(text, 16, ":##")) {
            fields.tm_sec = number_at(text, 17, 2);
            used = 19;
        }
    }
    std::tm normal = fields;
    timegm(&normal); // moves fields out of their range on, which tells them
    const bool valid = normal.tm_mday == fields.tm_mday && normal.tm_mon == fields.tm_mon &&
                       normal.tm_hour == fields.tm_hour && normal.tm_min == fields.tm_min &&
                       normal.tm_sec == fields.tm_sec && fields.tm_year >= 70;
    return valid ? used : 0;
}

} // namespace

std::string history_time(const std::string &text, const std::string &option, std::time_t now) {
    if (const auto back = span_seconds(text))
        return local_text(now - *back);
    std::tm fields{};
    if (const size_t used = calendar_fields(text, fields)) {
        if (used == text.size())
            return stored_text(fields);
        // An offset belongs to a time of day, not to a bare date.
        const auto offset = offset_seconds(text.substr(used));
        if (offset && used > 10)
            return local_text(timegm(&fields) - *offset);
    }
    throw ConfigError(option + ": expected " + kHistoryTimeForms);
}

} // namespace host
