// Control requests from the host: DC distribution parameter setting, rectifier remote control
// and the status queries on their outcome (codes: control_codes.h). A request
// that cannot be carried out exactly as asked sends nothing and is reported as refused.
#include "mpx23/control_codes.h"
#include "mpx23/diagnostics.h"
#include "mpx23/mpx23.h"
#include "mpx23/texts.h"

#include <json/reader.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kStatusCodes[] = {control_code::kStatus, control_code::kSetParameterStatus,
                                control_code::kRemoteControlStatus};
constexpr int32_t kNotHandled = 2;

struct Signal {
    const char *id;
    uint8_t type; // INFO byte 0 of the command
};

// 0x42/0x49, INFO: type, value x 100 (16 bits, high byte first)
const Signal kParameters[] = {
    {"4196A3201001", 0x84},
    {"4196A3101001", 0x85},
    {"4196A3301001", 0x98},
};

// 0x41/0x45, INFO: type, module address (0: system-wide)
const Signal kRemoteCommands[] = {
    {"419500201", 0x20}, {"419500200", 0x2F}, {"419500601", 0x10},
    {"419500600", 0x1F}, {"419500602", 0x11},
};

template <size_t N> const Signal *find_signal(const Signal (&table)[N], const std::string &id) {
    for (const auto &signal : table)
        if (id == signal.id)
            return &signal;
    return nullptr;
}

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

bool is_scalar(const Json::Value &v) {
    return v.isString() || v.isNumeric() || v.isBool();
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

size_t skip_digits(const std::string &text, size_t at) {
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])))
        ++at;
    return at;
}

// A text that is one complete decimal number: an optional sign, digits with an optional
// fraction (at least one digit in all), an optional exponent, and nothing else but blanks
// around it. Hexadecimal ("0x20"), "inf", "nan" and trailing words ("53.5 volts") are refused
// rather than read as far as they go.
bool decimal_text(const std::string &text, double &out) {
    size_t first = 0, end = text.size();
    while (first < end && is_blank(text[first]))
        ++first;
    while (end > first && is_blank(text[end - 1]))
        --end;
    const std::string number = text.substr(first, end - first);
    size_t at = 0;
    if (at < number.size() && (number[at] == '+' || number[at] == '-'))
        ++at;
    const size_t whole_start = at;
    at = skip_digits(number, at);
    size_t digits = at - whole_start;
    if (at < number.size() && number[at] == '.') {
        const size_t fraction_start = ++at;
        at = skip_digits(number, at);
        digits += at - fraction_start;
    }
    if (digits == 0)
        return false;
    if (at < number.size() && (number[at] == 'e' || number[at] == 'E')) {
        ++at;
        if (at < number.size() && (number[at] == '+' || number[at] == '-'))
            ++at;
        const size_t exponent_start = at;
        at = skip_digits(number, at);
        if (at == exponent_start)
            return false;
    }
    if (at != number.size())
        return false;
    out = std::strtod(number.c_str(), nullptr);
    return true;
}

// The hundredfold of "SetValue" as the 16 bits to send: a JSON number as it is, a text only
// when it is a complete decimal number. False for anything else, and when the hundredfold does
// not fit what 16 bits can carry (-32768 to 65535).
bool parameter_value(const Json::Value &set_value, uint16_t &out) {
    double value = 0.0;
    if (set_value.isNumeric())
        value = set_value.asDouble();
    else if (!set_value.isString() || !decimal_text(set_value.asString(), value))
        return false;
    const double hundredfold = std::trunc(value * 100.0);
    if (!std::isfinite(hundredfold) || hundredfold < -32768.0 || hundredfold > 65535.0)
        return false;
    out = static_cast<uint16_t>(static_cast<int32_t>(hundredfold));
    return true;
}

// Module address: the one to three decimal digits after the identifier, 0 to 255 (0: every
// module). Blanks, signs and any other character are refused.
bool module_address(const std::string &digits, uint8_t &out) {
    if (digits.empty() || digits.size() > 3 || skip_digits(digits, 0) != digits.size())
        return false;
    const int value = std::atoi(digits.c_str());
    if (value > 255)
        return false;
    out = static_cast<uint8_t>(value);
    return true;
}

// {"signal_id": "4196A3201001", "SetValue": 53.5} -> INFO 0x84 0x14 0xE6
bool parse_set_parameter(const std::string &request, uint8_t *info, int &info_len) {
    Json::Value parsed;
    Json::Reader reader;
    if (!reader.parse(request, parsed, true) || !parsed.isObject())
        return false;
    const Json::Value &root = parsed; // const: a missing member reads as null, nothing inserted
    const Json::Value &id = root["signal_id"];
    const Json::Value &set_value = root["SetValue"];
    if (!is_scalar(id))
        return false;
    const Signal *signal = find_signal(kParameters, id.asString());
    uint16_t value = 0;
    if (!signal || !parameter_value(set_value, value))
        return false;
    info[0] = signal->type;
    info[1] = static_cast<uint8_t>(value >> 8);
    info[2] = static_cast<uint8_t>(value & 0xFF);
    info_len = 3;
    return true;
}

// "419500601003": command 0x10 for module 3 -> INFO 0x10 0x03. The request is exactly the
// 9-character identifier and the module address in one to three digits.
bool parse_remote_control(const std::string &request, uint8_t *info, int &info_len) {
    constexpr size_t kIdLength = 9;
    if (request.size() <= kIdLength)
        return false;
    const Signal *signal = find_signal(kRemoteCommands, request.substr(0, kIdLength));
    uint8_t module = 0;
    if (!signal || !module_address(request.substr(kIdLength), module))
        return false;
    info[0] = signal->type;
    info[1] = module;
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
    {control_code::kSetParameter, 0x42, 0x49, parse_set_parameter, PollStep::SetParameterPending},
    {control_code::kRemoteControl, 0x41, 0x45, parse_remote_control,
     PollStep::RemoteControlPending},
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
