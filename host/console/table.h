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

// An alarm transition as a line of text (its local time short), with its English name.
std::string alarm_text(const AlarmRecord &alarm);

} // namespace host
