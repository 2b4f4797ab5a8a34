// What a test has written to a temporary file so far.
#pragma once

#include <cstdio>
#include <string>

inline std::string contents(FILE *f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    return text;
}
