// The commands of a polling round, as a test expects to see them sent.
#pragma once

#include "tests/recording_host.h"

#include <vector>

namespace poll_commands {

using testing_host::cmd;
using testing_host::Command;

const Command kParams = cmd(0x42, 0x47);
const Command kAcAnalogue = cmd(0x40, 0x42, {0xFF});
const Command kAcStatus = cmd(0x40, 0x43, {0xFF});
const Command kAcAlarms = cmd(0x40, 0x44, {0xFF});
const Command kRcAnalogue = cmd(0x41, 0x42);
const Command kRcStatus = cmd(0x41, 0x43);
const Command kRcAlarms = cmd(0x41, 0x44);
const Command kDcAnalogue = cmd(0x42, 0x42, {0xFF});
const Command kDcAlarms = cmd(0x42, 0x44, {0xFF});

// A device's first round (and any round with every data flag set); a quiet round.
const std::vector<Command> kFullRound = {kParams,   kAcAnalogue, kAcStatus,
                                         kAcAlarms, kRcAnalogue, kRcStatus,
                                         kRcAlarms, kDcAnalogue, kDcAlarms};
const std::vector<Command> kQuietRound = {kParams, kAcAnalogue, kRcAnalogue, kDcAnalogue};

} // namespace poll_commands
