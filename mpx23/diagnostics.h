// The driver's diagnostic lines on standard output. Most are a fixed label and one or two
// decimal numbers; they are put together here without printf's format parsing, which would
// otherwise cost more than decoding the reply that prints them. The bytes are those printf
// would write for the same label and "%d".
#pragma once

#include <charconv>
#include <cstdio>
#include <cstring>

namespace diagnostics {

// "<label><number>\n"; with a second number: "<label><number> <second>\n".
inline void say(const char *label, long number) {
    char line[96];
    const size_t label_len = std::strlen(label);
    if (label_len > 64)
        return;
    std::memcpy(line, label, label_len);
    char *end = std::to_chars(line + label_len, line + sizeof line - 1, number).ptr;
    *end++ = '\n';
    std::fwrite(line, 1, static_cast<size_t>(end - line), stdout);
}

inline void say(const char *label, long number, long second) {
    char line[96];
    const size_t label_len = std::strlen(label);
    if (label_len > 64)
        return;
    std::memcpy(line, label, label_len);
    char *end = std::to_chars(line + label_len, line + sizeof line - 2, number).ptr;
    *end++ = ' ';
    end = std::to_chars(end, line + sizeof line - 1, second).ptr;
    *end++ = '\n';
    std::fwrite(line, 1, static_cast<size_t>(end - line), stdout);
}

// A fixed line; `line` ends with its line end.
inline void say(const char *line) {
    std::fputs(line, stdout);
}

} // namespace diagnostics
