// The control request codes the host hands to DeviceIoControl, shared by the driver and the
// host program so that both read them from one place. A command request sends one command and
// leaves the device waiting for its reply; a status request answers with the outcome of the last
// command (-1 while none has been answered, 1 once a reply arrived).
#pragma once

namespace protocol::control_code {

constexpr int kStatus = 301;              // outcome of the last command, of either kind
constexpr int kSetParameter = 310;        // DC distribution parameter setting (0x42/0x49)
constexpr int kSetParameterStatus = 311;  // outcome of the last command
constexpr int kRemoteControl = 320;       // rectifier remote control (0x41/0x45)
constexpr int kRemoteControlStatus = 321; // outcome of the last command

} // namespace protocol::control_code

