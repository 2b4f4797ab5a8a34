#include "host/core/module_alarms.h"

#include "host/common/catalogue.h"

#include <algorithm>

namespace host {

std::vector<AlarmRecord> ModuleAlarms::update(uint32_t data_id, const DecodedBlock &block,
                                              const std::string &time) {
    const size_t now = block.modules.size();
    faulted.resize(std::max(faulted.size(), now), false);
    std::vector<AlarmRecord> changes;
    for (size_t i = 0; i < faulted.size(); ++i) {
        const bool there = i < now;
        const bool fault = there && block.modules[i].fault != 0;
        if (fault == faulted[i])
            continue;
        faulted[i] = fault;
        const std::string name = catalogue::module_fault_name(i + 1);
        const std::string detail = there ? "fault:" + std::to_string(block.modules[i].fault)
                                         : "not reported (" + std::to_string(now) + " modules now)";
        changes.push_back(
            {0, data_id, time, catalogue::module_fault_id(i + 1), fault, name, detail});
    }
    faulted.resize(now);
    return changes;
}

} // namespace host
