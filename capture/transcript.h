// Showing a recording (the host's `capture show FILE`): each frame with what it means.
#pragma once

#include "capture/format.h"

#include <string>
#include <vector>

namespace capture {

// The transcript of a capture: one line per frame (or per run of bytes outside any frame),
// with its time from the first record, port, device, direction, the frame as sent and its
// meaning, and a last line on what the file held.
std::vector<std::string> capture_transcript(const CaptureFile &file);

} // namespace capture
