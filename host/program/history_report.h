// The history subcommand: stored blocks (or alarm transitions) printed decoded, as a table,
// comma-separated values or JSON lines.
#pragma once

#include "host/program/config.h"
#include "host/stores/history.h"
#include "host/common/log.h"

namespace host {

// Returns the exit code.
int print_history(History &history, const Options &options, Output &out, Log &log);

} // namespace host
