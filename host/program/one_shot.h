// The one-shot requests (--get, --set, --control and the --device they go to), checked before
// anything is polled so that a script learns of a mistake at once. Which identifiers exist is
// the driver's to say.
#pragma once

#include "host/program/options.h"

namespace host {

// The form of each request given. Throws ConfigError.
void check_requests(const Options &o);

// A request aimed at a device that is not configured would silently do nothing. Throws
// ConfigError.
void check_target(const Options &o);

} // namespace host
