// Where a running host keeps what other programs on the machine look for: its control socket
// and the locks of the serial servers it polls. The service's folder comes from the service
// manager (RuntimeDirectory=, as $RUNTIME_DIRECTORY); a host run by hand uses the system's
// folder for it when it may, else the user's own.
#pragma once

#include <string>
#include <vector>

namespace host {

// The folder this host keeps its socket and locks in, made (mode 0750) when missing; "" when no
// candidate can be written.
std::string own_run_folder();

// The folders where running hosts may be found, in the order they are looked in.
std::vector<std::string> run_folders();

} // namespace host
