// The one JSON writer of the host: every document it emits (terminal, history listing, broker,
// HTTP) is written with it as it goes, on one line, keys in the order given, reals with 7
// significant digits, UTF-8 as it stands (bytes that are not UTF-8 as U+FFFD).
//
// A general-purpose writer formats every number through printf, which on the controller's core
// (no FPU) is the dearest thing a round does. A number printf would write without an exponent
// (every reading) is written from integers instead; the rest still goes through printf. The
// text is the same either way, to the byte.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

namespace host {

// A real number as "%.7g" writes it, with ".0" added when that shows neither a point nor an
// exponent (so that it reads back as a real); JSON's null for NaN, +-1e+9999 for infinities.
void append_real(std::string &out, double value);
// The same digits as "%.7g" alone, for text that is no JSON ("53", "229.5", "inf").
void append_seven_digits(std::string &out, double value);

// The pieces of a document written without building a value first.
void append_json_string(std::string &out, const std::string &text);
void append_json_string(std::string &out, const char *text);
void append_unsigned(std::string &out, unsigned long long value);
void append_integer(std::string &out, long long value);

// One member of a JSON object, its value written already.
struct JsonMember {
    std::string key;
    std::string value;
};
using JsonMembers = std::vector<JsonMember>;

// An object of members given in any order, written in key order; of a key given twice, the
// later. For documents put together from parts.
std::string object_of(const JsonMembers &members);
// A value on its own: a string, a real.
std::string json_string(const std::string &text);
std::string json_real(double value);

// Writes one JSON document into a string as it goes, without building a value first: objects,
// arrays, keys and values in the order given, commas where they belong. The host's documents
// give their keys in alphabetical order, as they have always been written.
//
//   JsonWriter w(out);
//   w.object().key("data_id").number(7).key("name").text("rack-a").end();
class JsonWriter {
public:
    explicit JsonWriter(std::string &out) : out(out) {}

    JsonWriter &object() { return open('{'); }
    JsonWriter &array() { return open('['); }
    // Closes the innermost object or array.
    JsonWriter &end();
    JsonWriter &key(const char *name);
    JsonWriter &key(const std::string &name);

    JsonWriter &text(const std::string &value);
    JsonWriter &text(const char *value);
    template <class Integer> JsonWriter &number(Integer value) {
        static_assert(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>);
        before_value();
        if constexpr (std::is_signed_v<Integer>)
            append_integer(out, value);
        else
            append_unsigned(out, value);
        return *this;
    }
    JsonWriter &real(double value);
    // A real in full ("%.17g"): a setting handed on to the driver, not a reading shown.
    JsonWriter &exact(double value);
    JsonWriter &boolean(bool value);
    JsonWriter &null();
    // A value written already (a document of its own).
    JsonWriter &raw(const std::string &json);

private:
    JsonWriter &open(char bracket);
    void before_value();
    void separate();

    std::string &out;
    std::vector<char> open_brackets; // the closing bracket of each open object or array
    std::vector<bool> holds_member;  // of each: whether it holds a member yet
    bool after_key = false;
};

} // namespace host
