// Reads the slot index out of a pointer to a virtual member function. Under the Itanium C++ ABI
// such a pointer is two words: on x86-64 the first holds 1 + the slot's byte offset (the low
// bit flags "virtual"); on MIPS and ARM the first holds the byte offset itself and the flag sits
// in the low bit of the second (adjustment) word. Both words are read with memcpy.
#pragma once

#include "framework/vdevice.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

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

// Expects every virtual operation of device class D in the slot the host expects it in.
template <class D> void expect_device_slots() {
    using V = VDeviceInterface;
    struct Expected {
        const char *name;
        SlotInfo got;
        long slot;
    };
    const Expected table[] = {
        {"Get_Value", slot_of(&D::Get_Value), 0},
        {"LoadFromCache(string)",
         slot_of(static_cast<int (V::*)(const std::string &)>(&D::LoadFromCache)), 1},
        {"LoadFromCache(bytes)",
         slot_of(static_cast<int (D::*)(const unsigned char *, int)>(&D::LoadFromCache)), 2},
        {"DataId", slot_of(&D::DataId), 3},
        {"DeviceType", slot_of(&D::DeviceType), 4},
        {"DeviceIoControl", slot_of(&D::DeviceIoControl), 5},
        {"RoundDone", slot_of(&D::RoundDone), 6},
        {"UseControllerDb", slot_of(&D::UseControllerDb), 7},
        // slots 8 and 9: the complete and the deleting destructor
        {"Reset", slot_of(&D::Reset), 10},
        {"InitV", slot_of(&D::InitV), 11},
        {"Init", slot_of(&D::Init), 12},
        {"InitSetting", slot_of(&D::InitSetting), 13},
        {"IsSupportDevice", slot_of(&D::IsSupportDevice), 14},
        {"GetChildVDevice", slot_of(&D::GetChildVDevice), 15},
        {"GetAllChildVDevices", slot_of(&D::GetAllChildVDevices), 16},
        {"SendSP", slot_of(&D::SendSP), 17},
        {"SendDelayData", slot_of(&D::SendDelayData), 18},
        {"SendDoData", slot_of(&D::SendDoData), 19},
        {"ReadDi", slot_of(&D::ReadDi), 20},
        {"ReadAi", slot_of(&D::ReadAi), 21},
        {"Get_SP_Value", slot_of(&D::Get_SP_Value), 22},
        {"RefreshStatus", slot_of(&D::RefreshStatus), 23},
        {"process", slot_of(&D::process), 24},
        {"IsProcessing", slot_of(&D::IsProcessing), 25},
        {"IsStalled", slot_of(&D::IsStalled), 26},
        {"SendData", slot_of(&D::SendData), 27},
        {"SendParityData", slot_of(&D::SendParityData), 28},
        {"OpenPort", slot_of(&D::OpenPort), 29},
        {"ClosePort", slot_of(&D::ClosePort), 30},
        {"process_payload", slot_of(&D::process_payload), 31},
        {"process_error", slot_of(&D::process_error), 32},
        {"RunCheckThreshold", slot_of(&D::RunCheckThreshold), 33},
    };
    for (const auto &row : table) {
        EXPECT_TRUE(row.got.is_virtual) << row.name;
        EXPECT_EQ(row.got.index, row.slot) << row.name;
    }
}
