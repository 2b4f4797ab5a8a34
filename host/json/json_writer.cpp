#include "host/json/json_writer.h"

#include "host/common/plain_text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace host {
namespace {

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10};
constexpr uint32_t kSevenDigits = 1000000; // 10^6: the least seven-digit number

// The decimal exponent of 1e-4 <= a < 1e7 (floor of log10 a), from its binary exponent: about
// log10(2) per binary place, put right by one comparison. Powers of ten below one are not exact
// doubles; a value that close to one is caught by the digit count of its scaled value below.
int decimal_exponent(double a) {
    uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    const int binary = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
    int x = (binary * 78913) >> 18; // floor(binary * log10(2)), close enough for |binary| < 30
    static constexpr double kBelowOne[] = {1e-1, 1e-2, 1e-3, 1e-4, 1e-5};
    const double next = x + 1 >= 0 ? kPowersOfTen[x + 1] : kBelowOne[-(x + 1) - 1];
    if (a >= next)
        ++x;
    return x;
}

// What "%.7g" writes for 1e-4 <= a < 1e7 (that is, without an exponent), done in integers: a
// scaled to seven digits and rounded. printf rounds the exact binary value; the scaling is
// exact but for one rounding, so only a value within a hair of halfway between two last digits
// could come out otherwise, and that is left to printf (false). So are values past the range.
bool append_digits_of(std::string &out, double a, bool negative) {
    if (!(a >= 1e-4 && a < 1e7))
        return false;
    int x = decimal_exponent(a);
    if (x < -4 || x > 6)
        return false;
    const double scaled = a * kPowersOfTen[6 - x]; // exact powers up to 1e10
    auto n = static_cast<uint32_t>(scaled);
    const double fraction = scaled - static_cast<double>(n); // exact
    if (fraction > 0.499999 && fraction < 0.500001)
        return false;
    if (fraction > 0.5)
        ++n;
    if (n >= 10 * kSevenDigits) { // rounded up into the next decade: 9.9999996 is 10.00000
        n /= 10;
        ++x;
        if (x > 6)
            return false;
    }
    if (n < kSevenDigits)
        return false;
    // The seven digits, the point after the first x + 1 of them (or "0." and zeros before them),
    // trailing zeros of the fraction dropped; ".0" when none is left, as the documents want.
    char digits[7];
    for (int i = 6; i >= 0; --i, n /= 10)
        digits[i] = static_cast<char>('0' + n % 10);
    int last = 6;
    const int first_fraction = x >= 0 ? x + 1 : 0;
    while (last >= first_fraction && digits[last] == '0')
        --last;
    if (negative)
        out.push_back('-');
    if (x >= 0) {
        out.append(digits, static_cast<size_t>(x + 1));
        out.push_back('.');
        if (last < first_fraction)
            out.push_back('0');
        else
            out.append(digits + first_fraction, static_cast<size_t>(last - first_fraction + 1));
    } else {
        out.append("0.");
        out.append(static_cast<size_t>(-x - 1), '0');
        out.append(digits, static_cast<size_t>(last + 1));
    }
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

// Runs of bytes that need no escape (UTF-8 among them) are copied whole; a byte that is not
// part of well-formed UTF-8 becomes U+FFFD, so that the document stays valid whatever a text
// from outside (a request's payload) held.
void append_string(std::string &out, const char *begin, const char *end) {
    out.push_back('"');
    const char *run = begin;
    for (const char *c = begin; c != end;) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte >= 0x80) {
            const size_t n = utf8_sequence(reinterpret_cast<const unsigned char *>(c),
                                           reinterpret_cast<const unsigned char *>(end));
            if (n != 0) {
                c += n;
                continue;
            }
            out.append(run, c);
            out.append("\\ufffd");
            run = ++c;
            continue;
        }
        if (!plain(byte)) {
            out.append(run, c);
            append_escaped(out, byte);
            run = c + 1;
        }
        ++c;
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
    else if (!append_digits_of(out, a, negative))
        append_printf_real(out, value);
}

void append_seven_digits(std::string &out, double value) {
    if (std::isnan(value) || std::isinf(value)) {
        out.append(std::isnan(value) ? "nan" : value < 0 ? "-inf" : "inf");
        return;
    }
    const size_t at = out.size();
    append_real(out, value);
    // The ".0" that makes the number a real in a document; "%.7g" writes none.
    if (out.size() - at >= 2 && out.compare(out.size() - 2, 2, ".0") == 0)
        out.resize(out.size() - 2);
}

JsonWriter &JsonWriter::open(char bracket) {
    before_value();
    out.push_back(bracket);
    open_brackets.push_back(bracket == '{' ? '}' : ']');
    holds_member.push_back(false);
    return *this;
}

JsonWriter &JsonWriter::end() {
    out.push_back(open_brackets.back());
    open_brackets.pop_back();
    holds_member.pop_back();
    return *this;
}

JsonWriter &JsonWriter::key(const std::string &name) {
    separate();
    append_json_string(out, name);
    out.push_back(':');
    after_key = true;
    return *this;
}

JsonWriter &JsonWriter::key(const char *name) {
    separate();
    append_json_string(out, name);
    out.push_back(':');
    after_key = true;
    return *this;
}

// A value in an array needs a comma before it unless it is the first; in an object, its key
// took care of that.
void JsonWriter::before_value() {
    if (after_key)
        after_key = false;
    else
        separate();
}

void JsonWriter::separate() {
    if (holds_member.empty())
        return;
    if (holds_member.back())
        out.push_back(',');
    holds_member.back() = true;
}

JsonWriter &JsonWriter::text(const std::string &value) {
    before_value();
    append_json_string(out, value);
    return *this;
}

JsonWriter &JsonWriter::text(const char *value) {
    before_value();
    append_json_string(out, value);
    return *this;
}

JsonWriter &JsonWriter::real(double value) {
    before_value();
    append_real(out, value);
    return *this;
}

JsonWriter &JsonWriter::exact(double value) {
    if (!std::isfinite(value))
        return real(value);
    before_value();
    char text[40];
    const int len = std::snprintf(text, sizeof text, "%.17g", value);
    out.append(text, static_cast<size_t>(len));
    if (std::strpbrk(text, ".e") == nullptr)
        out.append(".0");
    return *this;
}

JsonWriter &JsonWriter::boolean(bool value) {
    before_value();
    out.append(value ? "true" : "false");
    return *this;
}

JsonWriter &JsonWriter::null() {
    before_value();
    out.append("null");
    return *this;
}

JsonWriter &JsonWriter::raw(const std::string &json) {
    before_value();
    out.append(json);
    return *this;
}

std::string object_of(const JsonMembers &members) {
    std::vector<const JsonMember *> order;
    order.reserve(members.size());
    for (const JsonMember &m : members)
        order.push_back(&m);
    std::stable_sort(order.begin(), order.end(),
                     [](const JsonMember *x, const JsonMember *y) { return x->key < y->key; });
    std::string out;
    JsonWriter w(out);
    w.object();
    for (size_t i = 0; i < order.size(); ++i)
        if (i + 1 == order.size() || order[i + 1]->key != order[i]->key)
            w.key(order[i]->key).raw(order[i]->value);
    w.end();
    return out;
}

std::string json_string(const std::string &text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

std::string json_real(double value) {
    std::string out;
    append_real(out, value);
    return out;
}

} // namespace host
