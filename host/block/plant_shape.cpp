#include "host/block/plant_shape.h"

#include <algorithm>

namespace host {

PlantShape plant_shape(const DecodedBlock &b) {
    PlantShape s;
    s.modules = b.modules.size();
    s.inputs = b.inputs.size();
    s.battery_groups = std::min<size_t>(b.dc.m_count, DcSizes::M_SIZE());
    s.branches = std::min<size_t>(b.dc.n_count, DcSizes::N_SIZE());
    s.param47_a = b.param47_a;
    s.param47_b = b.param47_b;
    return s;
}

std::string difference(const PlantShape &before, const PlantShape &now) {
    struct Count {
        size_t PlantShape::*member;
        const char *name;
    };
    static const Count kCounts[] = {{&PlantShape::modules, "modules"},
                                    {&PlantShape::inputs, "AC inputs"},
                                    {&PlantShape::battery_groups, "battery groups"},
                                    {&PlantShape::branches, "branches"}};
    std::string text;
    const auto add = [&text](const std::string &part) {
        text += (text.empty() ? "" : "; ") + part;
    };
    for (const Count &c : kCounts)
        if (before.*c.member != now.*c.member)
            add(std::to_string(before.*c.member) + " " + c.name + " before, " +
                std::to_string(now.*c.member) + " now");
    if (before.param47_a != now.param47_a || before.param47_b != now.param47_b)
        add("parameters " + std::to_string(before.param47_a) + "/" +
            std::to_string(before.param47_b) + " before, " + std::to_string(now.param47_a) + "/" +
            std::to_string(now.param47_b) + " now");
    return text;
}

} // namespace host
