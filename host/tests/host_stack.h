// The host as the program assembles it: the polling core with the terminal and, given a
// history, the history recorder listening to it. Further observers listen through `events`.
#pragma once

#include "host/core/host.h"
#include "host/outputs/history_recorder.h"
#include "host/outputs/terminal.h"

#include <optional>

struct HostStack {
    HostStack(boost::asio::io_context &io, host::Output &out, host::Log &log,
              host::History *history, host::RunOptions options, bool json = true)
        : terminal(out, log, json), core(io, log, events, std::move(options)) {
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
