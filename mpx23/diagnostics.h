// The driver's diagnostic lines on standard output. Most are a fixed label and one or two
// decimal numbers; they are put together here without printf's format parsing, which would
// otherwise cost more than decoding the reply that prints them. The bytes are those printf
// would write for the same label and "%d".
#pragma once

#include <charconv>
#include <cstdio>
#include <cstring>

namespace diagnostics {

// "<label><n0>\n", or with two numbers "<label><n0> <n1>\n".
inline void say_numbers(const char *label, const long *numbers, int count) {
    char line[96];
    const size_t label_len = std::strlen(label);
    if (label_len > 64)
        return;
    std::memcpy(line, label, label_len);
    char *end = line + label_len;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            *end++ = ' ';
        end = std::to_chars(end, line + sizeof line - 2, numbers[i]).ptr;
    }
    *end++ = '\n';
    std::fwrite(line, 1, static_cast<size_t>(end - line), stdout);
}

inline void say(const char *label, long number) {
    say_numbers(label, &number, 1);
}

inline void say(const char *label, long number, long second) {
    const long numbers[] = {number, second};
    say_numbers(label, numbers, 2);
}

// A fixed line; `line` ends with its line end.
inline void say(const char *line) {
    std::fputs(line, stdout);
}

} // namespace diagnostics
