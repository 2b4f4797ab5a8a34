// The history subcommand: stored blocks (or alarm transitions) printed decoded, as a table,
// comma-separated values or JSON lines.
#pragma once

#include "host/common/log.h"
#include "host/program/options.h"
#include "host/stores/history.h"

namespace host {

// Returns the exit code.
int print_history(History &history, const Options &options, Output &out, Log &log);

} // namespace host
