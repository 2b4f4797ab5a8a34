// The program's command line: its options, which of them go together, and the help text, made
// from the same table as the parsing.
#pragma once

#include "host/program/options.h"

#include <string>
#include <vector>

namespace host {

// Parses the arguments after the program name (a leading "history" selects the history
// subcommand, "capture show FILE" the capture listing). Throws ConfigError.
Options parse_command_line(const std::vector<std::string> &args);

std::string usage();

} // namespace host
