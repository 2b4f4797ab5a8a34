// The one-shot requests (--get, --set, --control and the --device they go to), checked before
// anything is polled so that a script learns of a mistake at once. Which identifiers exist is
// the driver's to say; the names the host gives them are the catalogue's.
#pragma once

#include "host/program/options.h"

namespace host {

// The form of each request given; a request by name becomes its raw form, and one that a
// safeguard refuses is kept in `o.refused`. Throws ConfigError.
void check_requests(Options &o);

// A request aimed at a device that is not configured would silently do nothing. Throws
// ConfigError.
void check_target(const Options &o);

// The refused request, in the history (when there is one) for each device it was aimed at.
// Throws HistoryError.
void record_refusal(const Options &o);

} // namespace host
