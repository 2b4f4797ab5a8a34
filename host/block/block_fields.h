// The block's fields by the names an operator types ("dc.load_current", "module2.current"),
// each with its title, unit and the place it has in the block's JSON document, so that `--get`,
// `list` and a script reading `--json` all mean the same value by the same name.
//
// Repeated records and arrays are named with an index from 1: a row whose name holds N
// ("moduleN.current") stands for module1.current up to as many as the block holds.
#pragma once

#include "host/block/decoded_block.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace host {

struct BlockField {
    const char *name;     // "dc.load_current", or with N: "moduleN.current"
    const char *location; // in the block document: "dcData.load_current", "rc_channels[N-1].out_i"
    const char *title;
    const char *unit;
    const char *count; // what says how many there are ("rcData.channel_count"); "": one value
    size_t capacity;   // the most the block can hold; 0: no fixed limit
    size_t (*how_many)(const DecodedBlock &);
    double (*read)(const DecodedBlock &, size_t index); // index from 0
};

extern const BlockField kBlockFields[];
extern const size_t kBlockFieldCount;

bool indexed(const BlockField &field);
// The name and location of the N-th (from 1) of an indexed field.
std::string field_name(const BlockField &field, size_t n);
std::string field_location(const BlockField &field, size_t n);

// The field `name` stands for, with its N (0 for a single value); nullptr when none.
const BlockField *find_block_field(const std::string &name, size_t &n);
bool is_block_field(const std::string &name);

enum class BlockValue {
    NotInBlock, // no block field has that name: the driver is asked for it
    Read,
    Missing, // a block field, but this block does not hold it; the error says why
};

// The value `name` has in the block; Missing, with `error` saying why, when the block does not
// hold it (module 5 of 3) or there is no block (nullptr).
BlockValue read_block_field(const std::string &name, const DecodedBlock *block, double &value,
                            std::string &error);

// A parameter's setting as the block holds it, read back under the name it is set by
// ("float-voltage"): the block keeps it as a raw word in steps of the device's precision.
struct Setpoint {
    const char *name;             // as --set takes it, catalogue::Parameter::name
    uint16_t DecodedBlock::*word; // the raw word: param47_a
    double step;                  // the word's unit in the parameter's: 0.01 (10 mV)
    int decimals;                 // the digits that step keeps: 2
};
extern const Setpoint kSetpoints[2];

// nullptr when `name` is no setting the block holds (temperature-compensation is set but never
// read back: the driver does not keep it).
const Setpoint *setpoint_named(const std::string &name);
double setpoint_value(const Setpoint &setpoint, const DecodedBlock &block);
// Every setting the block holds, by name, in the parameter's unit: what the state document, the
// metrics and `--get` all read.
std::vector<std::pair<const char *, double>> block_setpoints(const DecodedBlock &block);
// A setting as precise as the device keeps it, "54.00"; nullopt when `name` is no setting.
std::optional<std::string> setpoint_text(const std::string &name, double value);
// Why a parameter that is set by `name` cannot be read back; "" when it can or is no parameter.
std::string setpoint_not_kept(const std::string &name);

// The unit of every field of the records that has one, as the block's document names them:
// readings in volts, amperes and hertz; counts, flags and user-defined values have none.
struct RecordUnit {
    const char *record, *field, *unit;
};
extern const RecordUnit kRecordUnits[];
extern const size_t kRecordUnitCount;

} // namespace host
