// The driver's diagnostic lines (standard output) and protocol-error log lines (the host's
// log), all in one place. They are kept verbatim on purpose, misspellings, odd spacing and
// mixed names included: the system's operators and tools match these exact texts.
#pragma once

namespace text {

// Polling steps: labels followed by a number, fixed lines, and the host's log lines.
constexpr char kAcNumber[] = "ac number is ";
constexpr char kAcError[] = "0x40 error\n";
constexpr char kRcAnalogueError[] = "parse p41_41 overflow memory boundary\n";
constexpr char kDcNumber[] = "42_42 dc_number ";
constexpr char kDcUsedLength[] = "42_42 used_len ";
constexpr char kDcAlarmNumber[] = "MPX23_42_44 dc_number ";
constexpr char kParameterGroupLog[] =
    "PMBusPower:ProcotolError {} parameter reply from group 0x%02X ignored";
// Arguments: CID1, CID2 of the command, the reply's INFO length, the length its layout gives
// (-1: a count byte is missing).
constexpr char kLayoutLog[] = "PMBusPower:ProcotolError {} reply to 0x%02X/0x%02X with %d INFO "
                              "bytes, its layout %ld: ignored";
constexpr char kRcAnalogueLog[] =
    "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary";
constexpr char kRcStatusLog[] = "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary";
constexpr char kRcAlarmLog[] = "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary";

// AC distribution decoders.
constexpr char kAcChannelCount[] = "acData channel_count ";
constexpr char kAcStatusOverflow[] = "read 40_43 read overflow\n";

// Rectifier decoders.
constexpr char kRcChannelCount[] = "parse41_42 channel_count ";
constexpr char kRcCutShort[] = "parse41_42 (p41_42 - data) > data_len\n";
constexpr char kRcCutShort2[] = "parse41_42 (p41_42 - data) > data_len 2\n";
constexpr char kRcCountChanged[] = "parse41_42 rc.channel_count != channel_count\n";
constexpr char kRcOutputVoltage[] = "out_v is "; // the number as "%f" writes it, line end
constexpr char kRcAnalogueUserValues[] = "rcchannel p41_41_count ";
constexpr char kRcStatusCount[] = "parse41_43 channel_count ";
constexpr char kRcAlarmUserBytes[] = "rcchannel p41_44_count ";

// DC distribution decoders.
constexpr char kDcListM[] = "parse 42_42 m ";
constexpr char kDcListN[] = "parse 42_42 n ";
constexpr char kDcListP[] = "parse 42_42 p ";
constexpr char kDcAlarmListM[] = " dcData.alert_m_count ";
constexpr char kDcAlarmListP[] = " dcData.alert_p_count ";

// Control requests.
constexpr char kControlCode[] = "MPX23 DeviceIoControl code:";

} // namespace text
