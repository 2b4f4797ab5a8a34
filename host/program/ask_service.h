// The command line as a client of the running host: `mpx23-host status`, and --get, --set and
// --control for a port (or a data_id) a running host polls, asked of that host through its
// control socket instead of opening a port it owns.
#pragma once

#include "host/common/log.h"
#include "host/program/options.h"

#include <optional>

namespace host {

// `mpx23-host status`: every device of every running host. 0, or 1 when none answers.
int print_status(const Options &options, Output &out, Log &log);

// The one-shot request asked of the running host that polls its device, with the exit status
// a run of its own would have; nothing when no running host polls it.
std::optional<int> ask_running_host(const Options &options, Output &out, Log &log);

} // namespace host
