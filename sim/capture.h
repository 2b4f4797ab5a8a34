// The capture format is the capture library's (capture/format.h); these names remain for code
// that still reads a capture through the simulator's namespace.
#pragma once

#include "capture/format.h"

namespace sim {

using capture::CaptureRecord;
using capture::read_capture;

} // namespace sim
