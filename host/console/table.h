// The console's views of blocks and alarms: a compact table line per block, comma-separated
// values for a listing, an alarm transition as a line of text.
#pragma once

#include "host/block/decoded_block.h"
#include "host/common/events.h"

#include <cstdint>
#include <string>

namespace host {

// One or two lines without a final newline: time, DC, AC phases, modules.
std::string block_table(uint32_t data_id, const DecodedBlock &block);

std::string csv_header();
std::string csv_row(int64_t row, const std::string &stored, uint32_t data_id,
                    const DecodedBlock &block);

// A value read by name as --get prints it: a setting as precise as the device keeps it, with its
// unit unless `bare` ("54.00 V"); any other value in seven digits, as the driver gives it.
std::string value_text(const std::string &name, double value, bool bare);

// An alarm transition as a line of text (its local time short), with its English name.
std::string alarm_text(const AlarmRecord &alarm);

} // namespace host
