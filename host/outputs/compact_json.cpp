#include "host/outputs/compact_json.h"

#include <json/reader.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace host {
namespace {

// Decimal digits of n (n < 10^9).
int digits_of(uint32_t n) {
    int d = 1;
    for (uint32_t limit = 10; d < 9 && n >= limit; limit *= 10)
        ++d;
    return d;
}

bool power_of_ten(uint32_t n) {
    while (n % 10 == 0 && n > 1)
        n /= 10;
    return n == 1;
}

// "%.7g" of 0.01 <= a < 1e5 shows 6 - X decimals, X the decimal exponent of the rounded value.
// a lies close enough to n / 100 when |100a - n| stays under half a step of that last digit
// (a margin left for the product's own rounding). Just below a power of ten the last digit is
// one place further right: a's own exponent is one less there.
constexpr double kHalfStep[] = {
    0.45e-6, // X = -2: last digit 1e-8, times 100
    0.45e-5, 0.45e-4, 0.45e-3, 0.45e-2, 0.45e-1, 0.45,
    4.5, // X = 5 (100000.00 itself)
};

// Appends a's digits as n / 100, trailing zeros dropped, when that is what printf would write.
bool append_hundredths(std::string &out, double a, bool negative) {
    if (!(a >= 0.01 && a < 1e5))
        return false;
    const double scaled = a * 100.0;
    const auto n = static_cast<uint32_t>(scaled + 0.5);
    const int x = digits_of(n) - 3;
    double limit = kHalfStep[x + 2];
    const double diff = scaled - static_cast<double>(n);
    if (diff < 0 && power_of_ten(n))
        limit /= 10;
    if (!(diff < limit && diff > -limit))
        return false;
    char text[16];
    char *end = text + sizeof text;
    char *p = end;
    uint32_t whole = n / 100;
    const uint32_t cents = n % 100;
    if (cents != 0) {
        if (cents % 10 != 0)
            *--p = static_cast<char>('0' + cents % 10);
        *--p = static_cast<char>('0' + cents / 10);
    } else {
        *--p = '0';
    }
    *--p = '.';
    do {
        *--p = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    if (negative)
        *--p = '-';
    out.append(p, end);
    return true;
}

void append_printf_real(std::string &out, double value) {
    char text[40];
    const int len = std::snprintf(text, sizeof text, "%.7g", value);
    if (len <= 0 || static_cast<size_t>(len) >= sizeof text) {
        out.append("null"); // never for a finite double: "%.7g" needs at most 14 characters
        return;
    }
    // printf follows the locale's decimal point; JSON's is '.'.
    for (int i = 0; i < len; ++i)
        if (text[i] == ',')
            text[i] = '.';
    out.append(text, static_cast<size_t>(len));
    bool point_or_exponent = false;
    for (int i = 0; i < len; ++i)
        point_or_exponent = point_or_exponent || text[i] == '.' || text[i] == 'e';
    if (!point_or_exponent)
        out.append(".0");
}

const char kHex[] = "0123456789abcdef";

bool plain(unsigned char byte) {
    return byte >= 0x20 && byte != '"' && byte != '\\';
}

void append_escaped(std::string &out, unsigned char byte) {
    switch (byte) {
    case '"':
        out.append("\\\"");
        break;
    case '\\':
        out.append("\\\\");
        break;
    case '\b':
        out.append("\\b");
        break;
    case '\f':
        out.append("\\f");
        break;
    case '\n':
        out.append("\\n");
        break;
    case '\r':
        out.append("\\r");
        break;
    case '\t':
        out.append("\\t");
        break;
    default: {
        const char escaped[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 15]};
        out.append(escaped, sizeof escaped);
    }
    }
}

// Runs of bytes that need no escape (UTF-8 among them) are copied whole.
void append_string(std::string &out, const char *begin, const char *end) {
    out.push_back('"');
    const char *run = begin;
    for (const char *c = begin; c != end; ++c) {
        if (plain(static_cast<unsigned char>(*c)))
            continue;
        out.append(run, c);
        append_escaped(out, static_cast<unsigned char>(*c));
        run = c + 1;
    }
    out.append(run, end);
    out.push_back('"');
}

template <class Unsigned> void append_digits(std::string &out, Unsigned v) {
    char text[24];
    char *end = text + sizeof text;
    char *p = end;
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    out.append(p, end);
}

} // namespace

void append_unsigned(std::string &out, unsigned long long value) {
    append_digits(out, value);
}

void append_integer(std::string &out, long long value) {
    if (value < 0) {
        out.push_back('-');
        // Negated as unsigned: the most negative value has no positive counterpart.
        append_digits(out, 0ull - static_cast<unsigned long long>(value));
    } else {
        append_digits(out, static_cast<unsigned long long>(value));
    }
}

void append_json_string(std::string &out, const std::string &text) {
    append_string(out, text.data(), text.data() + text.size());
}

void append_json_string(std::string &out, const char *text) {
    append_string(out, text, text + std::strlen(text));
}

void append_real(std::string &out, double value) {
    const bool negative = std::signbit(value);
    const double a = negative ? -value : value;
    if (std::isnan(value))
        out.append("null");
    else if (std::isinf(value))
        out.append(negative ? "-1e+9999" : "1e+9999");
    else if (a == 0)
        out.append(negative ? "-0.0" : "0.0");
    else if (!append_hundredths(out, a, negative))
        append_printf_real(out, value);
}

void append_compact_json(std::string &out, const Json::Value &value) {
    switch (value.type()) {
    case Json::nullValue:
        out.append("null");
        break;
    case Json::intValue:
        append_integer(out, value.asLargestInt());
        break;
    case Json::uintValue:
        append_unsigned(out, value.asLargestUInt());
        break;
    case Json::realValue:
        append_real(out, value.asDouble());
        break;
    case Json::booleanValue:
        out.append(value.asBool() ? "true" : "false");
        break;
    case Json::stringValue: {
        const char *begin = nullptr;
        const char *end = nullptr;
        if (value.getString(&begin, &end))
            append_string(out, begin, end);
        break;
    }
    case Json::arrayValue: {
        out.push_back('[');
        const Json::ArrayIndex size = value.size();
        for (Json::ArrayIndex i = 0; i < size; ++i) {
            if (i > 0)
                out.push_back(',');
            append_compact_json(out, value[i]);
        }
        out.push_back(']');
        break;
    }
    case Json::objectValue: {
        out.push_back('{');
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!first)
                out.push_back(',');
            first = false;
            const char *name_end = nullptr;
            const char *name = it.memberName(&name_end);
            append_string(out, name, name_end);
            out.push_back(':');
            append_compact_json(out, *it);
        }
        out.push_back('}');
        break;
    }
    }
}

namespace {

// The text with each number token +-1e+9999 (never inside a string) spelled as the reader's
// special floats.
std::string with_readable_infinities(const std::string &text) {
    static const std::string kWritten = "1e+9999";
    std::string out;
    out.reserve(text.size());
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            out.push_back(c);
            if (c == '\\' && i + 1 < text.size())
                out.push_back(text[++i]);
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
            out.push_back(c);
        } else if (text.compare(i, kWritten.size(), kWritten) == 0) {
            out.append("Infinity");
            i += kWritten.size() - 1;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace

Json::Value parse_document(const std::string &text) {
    const bool infinite = text.find("1e+9999") != std::string::npos;
    const std::string readable = infinite ? with_readable_infinities(text) : text;
    Json::CharReaderBuilder builder;
    builder["allowSpecialFloats"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string error;
    if (!reader->parse(readable.data(), readable.data() + readable.size(), &value, &error))
        return Json::Value();
    return value;
}

std::string compact_json(const Json::Value &value) {
    std::string out;
    out.reserve(256);
    append_compact_json(out, value);
    return out;
}

} // namespace host
