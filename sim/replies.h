// The INFO fields of the power system's replies, built from the plant. INFO byte 0 is always
// the group's data flag byte; AC and DC distribution replies follow it with the number of
// distribution units (always one here).
#pragma once

#include "sim/plant.h"
#include "sim/wire.h"

#include <cstdint>
#include <functional>
#include <string>

namespace sim {

// Says, by reading name (see Plant::find), whether a value goes as blank fill.
using FillTest = std::function<bool(const std::string &)>;

Info ac_analogue(const Plant &plant, uint8_t flag, const FillTest &fill);
Info ac_status(const Plant &plant, uint8_t flag);
Info ac_alarms(const Plant &plant, uint8_t flag);

Info rc_analogue(const Plant &plant, uint8_t flag, const FillTest &fill);
Info rc_status(const Plant &plant, uint8_t flag);
Info rc_alarms(const Plant &plant, uint8_t flag);

Info dc_analogue(const Plant &plant, uint8_t flag, const FillTest &fill);
Info dc_alarms(const Plant &plant, uint8_t flag);
// Parameters: INFO 2-3 upper and 4-5 lower DC voltage limit, 6-7 charge current limit,
// 8 battery groups, 9-10 float voltage (type 0x84), 11-12 equalise voltage (0x85), 13-14
// temperature compensation (0x98), 15-16 battery capacity, 17 user-defined count (0).
Info dc_parameters(const Plant &plant, uint8_t flag);

} // namespace sim
