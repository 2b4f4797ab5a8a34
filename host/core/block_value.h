// How the polling core reads a named value out of a device's last block without knowing the
// block's layout: the program hands it a reader (the outputs' field table), so that the core
// depends on no output.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace host {

enum class BlockValue {
    NotInBlock, // no block field has that name: the driver is asked for it
    Read,
    Missing, // a block field, but this block does not hold it; the error says why
};

using BlockValueReader =
    std::function<BlockValue(const std::string &name, const unsigned char *block, size_t len,
                             double &value, std::string &error)>;

} // namespace host
