// A device data block read back into the driver's packed records, once per round, for every
// output alike.
//
//   0              rcData (45)
//   45             R x mpx23_rc_channel (19 each)
//   45 + 19R       acData (37)
//   82 + 19R       A x mpx23_ac_channel (22 each)
//   82 + 19R + 22A dcData (194)
//   276 + ...      param47_a (2), param47_b (2)
//
// R and A are the channel counts of rcData and acData; a block whose length disagrees with
// them is refused rather than read past.
#pragma once

#include "mpx23/telemetry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct DecodedBlock {
    rcData rc{};
    std::vector<mpx23_rc_channel> modules;
    acData ac{};
    std::vector<mpx23_ac_channel> inputs;
    dcData dc{};
    uint16_t param47_a = 0;
    uint16_t param47_b = 0;
};

// A rectifier module's state bytes read out, for every view alike.
struct ModuleState {
    bool on = false;              // on_off 0
    bool current_limited = false; // limit non-zero
    std::string charge;           // charge_mode 0, 1, 2: "float", "equalise", "test"; "unknown (7)"
    bool failed = false;          // fault non-zero
};
ModuleState module_state(const mpx23_rc_channel &module);

// Bytes of a block with `modules` rectifier and `inputs` AC input records.
size_t block_size(size_t modules, size_t inputs);

// False, with `error` saying why, when the bytes are not a whole block.
bool decode_block(const unsigned char *data, size_t len, DecodedBlock &out, std::string &error);

// "YYYY-MM-DD HH:MM:SS" of a 7-byte time record, local time as the driver writes it.
std::string time_text(const uint8_t (&record)[kTimeRecordSize]);

} // namespace host
