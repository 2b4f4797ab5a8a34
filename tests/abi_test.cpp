// The table of virtual operations is the binary contract with the closed host: each operation
// must sit in its slot. Checked on the buffered device base here and on the driver in
// mpx23_abi_test.cpp.
#include "tests/abi_slots.h"
#include "tests/probe_device.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(Abi, BufferedDeviceSlotsFollowTheHostTable) { expect_device_slots<ProbeDevice>(); }
