// How long things take on a serial line: characters at a baud rate, the largest reply, and the
// waits derived from them (the reply timeout's default, the quiet time that ends settling).
#pragma once

#include <cstddef>

namespace host {

// The reply timeout for a line speed: the wire time of the largest reply the driver expects,
// plus a margin for the power system's turnaround; never below half a second.
double default_timeout(unsigned baud);
// Seconds that `bytes` characters take on the line at `baud`.
double wire_seconds(size_t bytes, unsigned baud);
// The wire time of the largest reply the driver expects at `baud`.
double largest_reply_seconds(unsigned baud);
// How long the line must stay quiet after a failed exchange before the next command goes out:
// long enough for a late reply to start and finish, so that it cannot pass for the answer to
// the next command.
double quiet_guard(unsigned baud);

} // namespace host
