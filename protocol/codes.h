// The codes of the power-system protocol as the frames carry them: equipment groups (CID1),
// commands (CID2 of a command), return codes (CID2 of a reply, RTN), the data flag bits, the
// unit byte of the distribution queries and the largest reply. Header-only: the driver, the
// protocol engine, the simulator and the host read the one set, and the plug-in links nothing
// for it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace protocol {

// Equipment groups (CID1).
namespace group {
constexpr uint8_t kAc = 0x40;         // AC distribution
constexpr uint8_t kRectifiers = 0x41; // rectifier modules
constexpr uint8_t kDc = 0x42;         // DC distribution
} // namespace group

// Operations (CID2 of a command).
namespace command {
constexpr uint8_t kAnalogue = 0x42; // analogue values
constexpr uint8_t kStatus = 0x43;
constexpr uint8_t kAlarms = 0x44;
constexpr uint8_t kRemoteControl = 0x45; // rectifier modules only
constexpr uint8_t kParameters = 0x47;    // DC distribution only
constexpr uint8_t kSetParameter = 0x49;  // DC distribution only
} // namespace command

// Return codes (CID2 of a reply). A reply with any but kNormal carries no usable INFO.
namespace rtn {
constexpr uint8_t kNormal = 0x00;
constexpr uint8_t kVersionError = 0x01;
constexpr uint8_t kChecksumError = 0x02;
constexpr uint8_t kLengthChecksumError = 0x03;
constexpr uint8_t kInvalidCommand = 0x04; // CID2 invalid
constexpr uint8_t kFormatError = 0x05;
constexpr uint8_t kInvalidData = 0x06;
constexpr uint8_t kFirstDeviceSpecific = 0x80;
constexpr uint8_t kLastDeviceSpecific = 0xEF;
} // namespace rtn

// Bits of a group's data flag (INFO byte 0 of every reply): what changed since it was last read.
namespace data_flag {
constexpr uint8_t kStatusChanged = 0x10;
constexpr uint8_t kAlarmChanged = 0x01;
} // namespace data_flag

// The INFO byte of AC and DC distribution queries: every distribution unit, or the first one.
constexpr uint8_t kAllUnits = 0xFF;
constexpr uint8_t kFirstUnit = 0x01;

// The largest reply the driver reads, in INFO bytes: a rectifier analogue reply of a fully
// equipped shelf stays well below it. Reply time-outs are sized by its wire time.
constexpr unsigned kLargestReplyInfo = 256;

// A code and what a transcript calls it.
struct CodeName {
    uint8_t code;
    const char *name;
};

inline constexpr CodeName kGroupNames[] = {{group::kAc, "AC distribution"},
                                           {group::kRectifiers, "rectifier modules"},
                                           {group::kDc, "DC distribution"}};
inline constexpr CodeName kCommandNames[] = {{command::kAnalogue, "analogue values"},
                                             {command::kStatus, "status"},
                                             {command::kAlarms, "alarms"},
                                             {command::kRemoteControl, "remote control"},
                                             {command::kParameters, "parameters"},
                                             {command::kSetParameter, "set a parameter"}};
inline constexpr CodeName kReturnCodeNames[] = {{rtn::kNormal, "normal"},
                                                {rtn::kVersionError, "VER error"},
                                                {rtn::kChecksumError, "CHKSUM error"},
                                                {rtn::kLengthChecksumError, "LCHKSUM error"},
                                                {rtn::kInvalidCommand, "CID2 invalid"},
                                                {rtn::kFormatError, "command format error"},
                                                {rtn::kInvalidData, "invalid data"}};

// The name of `code` in `table`; nullptr for a code the table does not hold.
template <size_t N> constexpr const char *name_of(const CodeName (&table)[N], uint8_t code) {
    for (const CodeName &entry : table)
        if (entry.code == code)
            return entry.name;
    return nullptr;
}

constexpr const char *group_name(uint8_t cid1) {
    return name_of(kGroupNames, cid1);
}
constexpr const char *command_name(uint8_t cid2) {
    return name_of(kCommandNames, cid2);
}
// The whole range of device-specific codes shares one name.
constexpr const char *return_code_name(uint8_t code) {
    if (code >= rtn::kFirstDeviceSpecific && code <= rtn::kLastDeviceSpecific)
        return "device-specific error";
    return name_of(kReturnCodeNames, code);
}

} // namespace protocol
