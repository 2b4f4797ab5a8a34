// The demonstration run: the built-in simulator through a mains failure and back.
#pragma once

#include "host/common/device_config.h"

#include <string>

namespace host {

// One simulated power system polled every second, with the host's default alarms: the mains fail in round 8, the batteries run low in round 12, and the mains
// return in round 16.
DeviceConfig demo_device();
std::string demo_banner(unsigned rounds);

} // namespace host
