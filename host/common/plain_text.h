// Texts from outside (configuration, command line, broker requests) as the host takes and shows
// them. Names, prefixes and identifiers are refused unless they are UTF-8 without control
// characters: they end up in topics, metric labels and JSON documents, which must stay valid
// and readable. Texts that are data (a request as it was received) are kept as they came and
// escaped where they are shown.
#pragma once

#include <cstddef>
#include <string>

namespace host {

// The length of the well-formed UTF-8 sequence at `p` (1 to 4 bytes), or 0 when the bytes there
// are not one (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, cut
// short by `end`).
size_t utf8_sequence(const unsigned char *p, const unsigned char *end);

// Well-formed UTF-8 without control characters (U+0000 to U+001F, U+007F to U+009F).
bool plain_text(const std::string &text);

// What the configuration says of a text that is not plain.
extern const char *const kPlainTextExpected; // "expected UTF-8 text without control characters"

// `text` for a line on a terminal or in a listing: control characters and bytes that are not
// UTF-8 as \xNN (a backslash as \\), everything else as it is.
std::string printable(const std::string &text);

// `text` with every byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD,
// so that a JSON document or a metric label holding it stays valid.
std::string valid_utf8(const std::string &text);

} // namespace host
