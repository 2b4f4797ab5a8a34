// What a power system looks like from its block: how many of each part it has and the
// parameters it holds. A block of another shape after communication came back is another
// power system answering at the same port.
#pragma once

#include "host/block/decoded_block.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

struct PlantShape {
    size_t modules = 0, inputs = 0, battery_groups = 0, branches = 0;
    uint16_t param47_a = 0, param47_b = 0;
    bool operator==(const PlantShape &o) const {
        return modules == o.modules && inputs == o.inputs && battery_groups == o.battery_groups &&
               branches == o.branches && param47_a == o.param47_a && param47_b == o.param47_b;
    }
    bool operator!=(const PlantShape &o) const { return !(*this == o); }
};

PlantShape plant_shape(const DecodedBlock &block);

// "3 modules before, 6 now; parameters 5350/5640 before, 5400/5640 now": what differs.
std::string difference(const PlantShape &before, const PlantShape &now);

} // namespace host
