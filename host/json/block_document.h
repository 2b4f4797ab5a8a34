// A block's JSON document: every field of every record by its name, each list with the entries
// its count announced (and the driver kept), each module's state read out, times in ISO 8601
// with their offset, and the block's bytes as hex ("block"); the members given beside them
// merged in, all on one line in key order.
#pragma once

#include "host/block/decoded_block.h"
#include "host/common/events.h"
#include "host/json/json_writer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

std::string hex(const unsigned char *data, size_t len);

// Whether a block's document holds its bytes as hex, a quarter of it: a reader that has every
// field decoded seldom needs them.
enum class BlockHex { With, Without };

// Of an extra given twice, the later; an extra with a block member's key takes its place.
std::string block_document(uint32_t data_id, const DecodedBlock &block, const unsigned char *data,
                           size_t len, const JsonMembers &extras = {},
                           BlockHex hex = BlockHex::With);
// The round's figures: "poll".
JsonMember poll_member(const RoundCompleted &round);
// The unit of each field that has one, by record: "units": {"dcData": {"voltage": "V", ...}}.
const JsonMember &units_member();

// A completed round as `--json` prints it: the block's document with the round's figures.
std::string round_text(const RoundCompleted &round, const DecodedBlock &block);

} // namespace host
