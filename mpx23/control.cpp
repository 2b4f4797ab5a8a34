// Control requests from the host: DC distribution parameter setting, rectifier remote control
// and the status queries on their outcome (codes: protocol/control_codes.h). A request that
// cannot be carried out exactly as asked sends nothing and is reported as refused.
#include "mpx23/diagnostics.h"
#include "mpx23/mpx23.h"
#include "mpx23/texts.h"
#include "protocol/codes.h"
#include "protocol/control_codes.h"
#include "protocol/identifiers.h"
#include "protocol/request_form.h"

#include <cmath>
#include <cstring>
#include <string>

namespace {

namespace control = protocol::control_code;

constexpr int kStatusCodes[] = {control::kStatus, control::kSetParameterStatus,
                                control::kRemoteControlStatus};
constexpr int32_t kNotHandled = 2;

void write_answer(void *out, int out_len, int &out_used, int32_t value) {
    if (!out || out_len < 4) { // a negative room is no room
        out_used = 0;
        return;
    }
    std::memcpy(out, &value, sizeof value);
    out_used = 4;
}

std::string request_text(const void *in, int in_len) {
    if (!in || in_len <= 0)
        return {};
    return std::string(static_cast<const char *>(in), static_cast<size_t>(in_len));
}

// The hundredfold of the value as the 16 bits to send. False when it does not fit what 16 bits
// can carry (-32768 to 65535).
bool hundredfold_bits(double value, uint16_t &out) {
    const double hundredfold = std::trunc(value * 100.0);
    if (!std::isfinite(hundredfold) || hundredfold < -32768.0 || hundredfold > 65535.0)
        return false;
    out = static_cast<uint16_t>(static_cast<int32_t>(hundredfold));
    return true;
}

// {"signal_id": "4196A3201001", "SetValue": 53.5} -> INFO 0x84 0x14 0xE6
bool parse_set_parameter(const std::string &request, uint8_t *info, int &info_len) {
    protocol::SetRequest form;
    if (!protocol::read_set_request(request, form))
        return false;
    const protocol::IdentifiedCode *parameter =
        protocol::find_code(protocol::kParameterIds, form.signal_id);
    uint16_t value = 0;
    if (!parameter || !hundredfold_bits(form.value, value))
        return false;
    info[0] = parameter->code;
    info[1] = static_cast<uint8_t>(value >> 8);
    info[2] = static_cast<uint8_t>(value & 0xFF);
    info_len = 3;
    return true;
}

// "419500601003": command 0x10 for module 3 -> INFO 0x10 0x03.
bool parse_remote_control(const std::string &request, uint8_t *info, int &info_len) {
    protocol::ControlRequest form;
    if (!protocol::read_control_request(request, form))
        return false;
    const protocol::IdentifiedCode *remote =
        protocol::find_code(protocol::kControlIds, form.command_id);
    if (!remote)
        return false;
    info[0] = remote->code;
    info[1] = form.module;
    info_len = 2;
    return true;
}

// One row per command request: its code, the command it sends, the parser that turns the
// request text into the command's INFO, and the state that waits for the command's reply.
struct CommandRequest {
    int code;
    uint8_t cid1, cid2;
    bool (*parse)(const std::string &request, uint8_t *info, int &info_len);
    PollStep pending;
};

const CommandRequest kCommandRequests[] = {
    {control::kSetParameter, protocol::group::kDc, protocol::command::kSetParameter,
     parse_set_parameter, PollStep::SetParameterPending},
    {control::kRemoteControl, protocol::group::kRectifiers, protocol::command::kRemoteControl,
     parse_remote_control, PollStep::RemoteControlPending},
};

const CommandRequest *find_command(int code) {
    for (const auto &request : kCommandRequests)
        if (request.code == code)
            return &request;
    return nullptr;
}

bool is_status_request(int code) {
    for (int status : kStatusCodes)
        if (code == status)
            return true;
    return false;
}

} // namespace

int MPX23::DeviceIoControl(int code, const void *in, int in_len, void *out, int out_len,
                           int &out_used) {
    diagnostics::say(text::kControlCode, code);
    if (is_status_request(code)) {
        write_answer(out, out_len, out_used, ctrl_result);
        return 0;
    }
    const CommandRequest *command = find_command(code);
    if (!command) {
        write_answer(out, out_len, out_used, kNotHandled);
        return 0;
    }
    try {
        uint8_t info[3];
        int info_len = 0;
        if (command->parse(request_text(in, in_len), info, info_len)) {
            poll_state = static_cast<int32_t>(command->pending); // the next reply answers it
            ctrl_result = -1;
            OpenPort();
            write_pmbus_cmd(command->cid1, command->cid2, info, info_len);
            return 0;
        }
    } catch (...) {
        // The JSON library's conversion errors refuse the request like any other fault.
    }
    ctrl_result = -1; // refused: nothing sent, the round in progress goes on
    return -1;
}
