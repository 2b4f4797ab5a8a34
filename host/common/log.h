// The host's two outputs: its results (blocks, alarms, answers) on a stream of its own, kept
// apart from the driver's diagnostic lines, and its log on standard error, where lines that
// could repeat every round are rate-limited.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

namespace host {

// Lets through one line per key and period; counts what it holds back so that the next line
// let through can say how many were suppressed.
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit RateLimiter(Clock::duration period) : period(period) {}

    // True when a line of `key` may go out at `now`; `suppressed` then holds the number of
    // lines of that key held back since the last one.
    bool allow(const std::string &key, Clock::time_point now, unsigned &suppressed);

private:
    struct State {
        Clock::time_point last;
        unsigned held = 0;
    };
    Clock::duration period;
    std::map<std::string, State> states;
};

class Log {
public:
    explicit Log(std::FILE *to = stderr,
                 RateLimiter::Clock::duration period = std::chrono::minutes(1))
        : out(to), limiter(period) {}

    // A time-stamped line.
    void line(const std::string &text);
    // A line without a time stamp, for what stops the program before it runs.
    void error(const std::string &text);
    // At most one line per `key` and period.
    void limited(const std::string &key, const std::string &text);

private:
    std::FILE *out;
    RateLimiter limiter;
};

// Where results go: a line-buffered stream on the real standard output. A write that fails is
// told once to `on_failure` (closed: the reader went away), and nothing more is written.
class Output {
public:
    using FailureHandler = std::function<void(bool closed, const std::string &why)>;

    explicit Output(std::FILE *to) : out(to) {}
    void line(const std::string &text);
    void on_failure(FailureHandler handler) { failure = std::move(handler); }
    bool failed() const { return broken; }

private:
    std::FILE *out;
    FailureHandler failure;
    bool broken = false;
};

} // namespace host
