// Reads a device data block back into the driver's packed records and presents it: a compact
// table, one JSON object per block, or comma-separated values.
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

#include "host/common/events.h"
#include "mpx23/telemetry.h"

#include <json/value.h>

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
std::string hex(const unsigned char *data, size_t len);

// One member of a JSON object, its value written already.
struct JsonMember {
    std::string key;
    std::string value;
};
using JsonMembers = std::vector<JsonMember>;

// A block's document: every field of every record by its name, each list with the entries its
// count announced (and the driver kept), each module's state read out, times in ISO 8601 with
// their offset, and the block's bytes as hex ("block"); with `extras` beside them, all on one
// line in key order as json_line writes a value (of a key given twice, the later; an extra with
// a block member's key takes its place).
std::string block_document(uint32_t data_id, const DecodedBlock &block, const unsigned char *data,
                           size_t len, const JsonMembers &extras = {});
// The round's figures: "poll".
JsonMember poll_member(const RoundCompleted &round);
// The unit of each field that has one, by record: "units": {"dcData": {"voltage": "V", ...}}.
const JsonMember &units_member();

// The block's document as a value, for the views that add to it (history rows).
Json::Value block_json(uint32_t data_id, const DecodedBlock &block, const unsigned char *data,
                       size_t len);
// A completed round as `--json` prints it: the block's document with the round's figures.
std::string round_text(const RoundCompleted &round, const DecodedBlock &block);
// One or two lines without a final newline: time, DC, AC phases, modules.
std::string block_table(uint32_t data_id, const DecodedBlock &block);

std::string csv_header();
std::string csv_row(int64_t row, const std::string &stored, uint32_t data_id,
                    const DecodedBlock &block);

// Compact JSON text on one line, floats with 7 significant digits.
std::string json_line(const Json::Value &value);

// An alarm transition as a line of text (its local time short), and as a JSON object (without
// its history row; the time in ISO 8601), both with the alarm's English name.
std::string alarm_text(const AlarmRecord &alarm);
Json::Value alarm_json(const AlarmRecord &alarm);

} // namespace host
