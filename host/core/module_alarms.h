// The host's alarm per rectifier module: the driver reports none for its modules, while a
// module's fault byte in the block is what an operator most needs to hear of. Raised while the
// byte is not 0, cleared when it is 0 again or when the block no longer has the module (removed,
// or another power system answering), so that no alarm stays active for a module that is gone.
// Like the driver's alarms, the first block of a module without a fault makes no transition.
#pragma once

#include "host/block/decoded_block.h"
#include "host/common/events.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host {

class ModuleAlarms {
public:
    // The transitions `block` makes, in module order; `time` is the local time they are told at.
    std::vector<AlarmRecord> update(uint32_t data_id, const DecodedBlock &block,
                                    const std::string &time);

private:
    std::vector<bool> faulted; // by module, from 0
};

} // namespace host
