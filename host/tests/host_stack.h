// The host as the program assembles it: the polling core with the terminal and, given a
// history, the history recorder listening to it. Further observers listen through `events`.
#pragma once

#include "host/console/terminal.h"
#include "host/core/host.h"
#include "host/stores/history_recorder.h"

#include <boost/asio/steady_timer.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

struct HostStack {
    HostStack(boost::asio::io_context &io, host::Output &out, host::Log &log,
              host::History *history, host::RunOptions options, bool json = true,
              bool rounds = true)
        : terminal(out, log, json, rounds), core(io, log, events, std::move(options)) {
        events.listen(terminal);
        if (history) {
            recorder.emplace(*history, events);
            events.listen(*recorder);
        }
    }

    host::Events events;
    host::Terminal terminal;
    std::optional<host::HistoryRecorder> recorder;
    host::Host core;
};

// Runs the host to its own end, the driver's diagnostics kept off the test's output. A host that
// has not stopped after `limit` is stopped, and the test fails.
inline void run_to_its_end(boost::asio::io_context &io, host::Host &h,
                           std::chrono::seconds limit = std::chrono::seconds(20)) {
    boost::asio::steady_timer guard(io, limit);
    guard.async_wait([&](boost::system::error_code ec) {
        if (!ec) {
            ADD_FAILURE() << "the host did not stop by itself";
            h.stop();
        }
    });
    ::testing::internal::CaptureStdout();
    h.run();
    ::testing::internal::GetCapturedStdout();
}
