// Readers shared by the reply decoders, on top of the bounds-checked ByteReader: each reads one
// recurring shape of the replies and reports false when a field lies outside the input.
#pragma once

#include "mpx23/byte_reader.h"
#include "mpx23/diagnostics.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace reply_readers {

// Reads one 16-bit value and stores it converted (`store(value)`); false, nothing stored, when
// the value lies outside the input. (The records are packed: their fields are written through
// the store, never through a reference or pointer to them.)
template <class Convert, class Store>
bool read_value(ByteReader &in, Convert convert, Store store) {
    uint8_t hi = 0, lo = 0;
    if (!in.pair(hi, lo))
        return false;
    store(convert(hi, lo));
    return true;
}

// Reads `count` 16-bit values and stores each (`store(j, value)`) when they fit `capacity`;
// otherwise steps over them and leaves the earlier values. False when a value lies outside the
// input.
template <class Convert, class Store>
bool read_value_list(ByteReader &in, uint8_t count, unsigned capacity, Convert convert,
                     Store store) {
    if (count > capacity) {
        in.skip(2 * count);
        return true;
    }
    for (unsigned j = 0; j < count; ++j)
        if (!read_value(in, convert, [&](float value) { store(j, value); }))
            return false;
    return true;
}

// Reads a list's count byte into `count` and prints it with the list's capacity.
inline bool read_list_count(ByteReader &in, uint8_t &count, const char *label, unsigned capacity) {
    if (!in.byte(count))
        return false;
    diagnostics::say(label, count, capacity);
    return true;
}

// Copies the first min(count, Capacity) announced alarm bytes, then steps over the rest.
template <size_t Capacity>
bool read_alarm_list(ByteReader &in, uint8_t count, uint8_t (&out)[Capacity]) {
    const unsigned kept = std::min<unsigned>(count, Capacity);
    for (unsigned j = 0; j < kept; ++j)
        if (!in.byte(out[j]))
            return false;
    in.skip(count - kept);
    return true;
}

// Keeps `count` user-defined bytes in `room` when they fill its `capacity` exactly; otherwise
// steps over them.
inline bool read_user_bytes(ByteReader &in, uint8_t count, uint8_t *room, unsigned capacity) {
    if (count != capacity) {
        in.skip(count);
        return true;
    }
    return in.bytes(room, count);
}

// Steps over `units` unit records of `fixed` bytes, each followed by a count P and 2P bytes of
// user values (as the AC lines and rectifier modules of the analogue replies are laid out);
// false when a count lies outside the input.
inline bool skip_unit_records(ByteReader &in, unsigned units, int fixed) {
    uint8_t user_values = 0;
    for (unsigned i = 0; i < units; ++i) {
        in.skip(fixed);
        if (!in.byte(user_values))
            return false;
        in.skip(2 * user_values);
    }
    return true;
}

} // namespace reply_readers
