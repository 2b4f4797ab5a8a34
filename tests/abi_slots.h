// Reads the slot index out of a pointer to a virtual member function. Under the Itanium C++ ABI
// such a pointer is two words: on x86-64 the first holds 1 + the slot's byte offset (the low
// bit flags "virtual"); on MIPS and ARM the first holds the byte offset itself and the flag sits
// in the low bit of the second (adjustment) word. Both words are read with memcpy.
#pragma once

#include <cstdint>
#include <cstring>

struct SlotInfo {
    bool is_virtual;
    long index;
};

template <class MemberPointer> SlotInfo slot_of(MemberPointer member) {
    static_assert(sizeof(MemberPointer) == 2 * sizeof(uintptr_t), "Itanium member pointer");
    uintptr_t words[2];
    std::memcpy(words, &member, sizeof words);
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
    const bool is_virtual = (words[1] & 1) != 0;
    const uintptr_t offset = words[0];
#else
    const bool is_virtual = (words[0] & 1) != 0;
    const uintptr_t offset = words[0] - 1;
#endif
    return {is_virtual, static_cast<long>(offset / sizeof(void *))};
}
