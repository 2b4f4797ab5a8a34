// One JSON value as a single line: the host's documents (terminal, history listing, broker,
// HTTP) as they have always been written, keys in order, numbers with 7 significant digits,
// UTF-8 as it stands.
//
// The library's own writer formats every number through printf, which on the controller's core
// (no FPU) is the dearest thing a round does. A number printf would write without an exponent
// (every reading) is written from integers instead; the rest still goes through printf. The
// text is the same either way, to the byte.
#pragma once

#include <json/value.h>

#include <string>

namespace host {

std::string compact_json(const Json::Value &value);
void append_compact_json(std::string &out, const Json::Value &value);

// A real number as "%.7g" writes it, with ".0" added when that shows neither a point nor an
// exponent (so that it reads back as a real); JSON's null for NaN, +-1e+9999 for infinities.
void append_real(std::string &out, double value);

// A document of the host's read back into a value (null when it is not one). The infinities the
// documents write as +-1e+9999, which no reader takes, come back as infinities.
Json::Value parse_document(const std::string &text);

// The pieces of a document written without building a value first.
void append_json_string(std::string &out, const std::string &text);
void append_json_string(std::string &out, const char *text);
void append_unsigned(std::string &out, unsigned long long value);
void append_integer(std::string &out, long long value);

} // namespace host
