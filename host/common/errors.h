// The one error each room of the host throws, and what the program makes of it: a message for
// the user and an exit status (the program's exit_status maps them, in one place).
//
//   ConfigError   a wrong option or configuration value             (common; exit 2)
//   HistoryError  the history cannot be opened, read or written      (stores; exit 1)
//   PluginError   the plug-in cannot be loaded or refuses a device   (core; exit 1)
//   PortBusy      a port another program polls                      (line; exit 1)
//   CaptureError  a capture file cannot be written or read           (capture; exit 1)
#pragma once

#include <stdexcept>

namespace host {

// A wrong option or configuration value; the message names it and is meant for the user.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace host
