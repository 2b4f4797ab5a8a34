#include "host/common/log.h"

#include "host/common/clock_text.h"

#include <cerrno>
#include <cstring>

namespace host {

bool RateLimiter::allow(const std::string &key, Clock::time_point now, unsigned &suppressed) {
    auto found = states.find(key);
    if (found == states.end()) {
        states[key].last = now;
        suppressed = 0;
        return true;
    }
    State &s = found->second;
    if (now - s.last < period) {
        ++s.held;
        return false;
    }
    suppressed = s.held;
    s.held = 0;
    s.last = now;
    return true;
}

void Log::line(const std::string &text) {
    std::fprintf(out, "%s mpx23-host: %s\n", local_time_text().c_str(), text.c_str());
    std::fflush(out);
}

void Log::error(const std::string &text) {
    std::fprintf(out, "mpx23-host: %s\n", text.c_str());
    std::fflush(out);
}

void Log::limited(const std::string &key, const std::string &text) {
    unsigned suppressed = 0;
    if (!limiter.allow(key, RateLimiter::Clock::now(), suppressed))
        return;
    line(suppressed ? text + " (" + std::to_string(suppressed) + " similar suppressed)" : text);
}

void Output::line(const std::string &text) {
    if (broken)
        return;
    errno = 0;
    const bool written =
        std::fputs(text.c_str(), out) >= 0 && std::fputc('\n', out) != EOF && std::fflush(out) == 0;
    if (written)
        return;
    broken = true;
    const int error = errno;
    // A terminal that hung up (EIO) is gone like a closed pipe: its SIGHUP no longer stops the
    // host, so this does.
    if (failure)
        failure(error == EPIPE || error == EIO, error ? std::strerror(error) : "write failed");
}

} // namespace host
