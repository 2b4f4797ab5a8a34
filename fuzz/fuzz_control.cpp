// DeviceIoControl with an arbitrary code and request. Input: [code selector][room][request...].
// A request outside the table must never reach the power system: whenever something is sent,
// the request is checked independently of the driver against the signal tables.
#include "fuzz/fuzz_host.h"
#include "mpx23/test_view.h"

#include <json/reader.h>

#include <cstdlib>
#include <cstring>

namespace {

const int kCodes[] = {301, 310, 311, 320, 321, 300, 400, -1};

// A "SetValue" that may be sent: a JSON number, or a text of nothing but a decimal number's
// characters and blanks, holding a digit.
bool plain_number(const Json::Value &value) {
    if (value.isNumeric())
        return true;
    if (!value.isString())
        return false;
    const std::string text = value.asString();
    return text.find_first_not_of(" \t+-.0123456789eE") == std::string::npos &&
           text.find_first_of("0123456789") != std::string::npos;
}

bool known_parameter(const std::string &request, uint8_t type) {
    static const std::pair<const char *, uint8_t> table[] = {
        {"4196A3201001", 0x84}, {"4196A3101001", 0x85}, {"4196A3301001", 0x98}};
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(request, root, true) || !root.isObject())
        return false;
    const Json::Value &id = root["signal_id"];
    if (!id.isString() && !id.isNumeric() && !id.isBool())
        return false;
    if (!plain_number(root["SetValue"]))
        return false;
    for (const auto &row : table)
        if (id.asString() == row.first)
            return row.second == type;
    return false;
}

bool known_remote_command(const std::string &request, uint8_t type) {
    static const std::pair<const char *, uint8_t> table[] = {{"419500201", 0x20},
                                                             {"419500200", 0x2F},
                                                             {"419500601", 0x10},
                                                             {"419500600", 0x1F},
                                                             {"419500602", 0x11}};
    for (const auto &row : table)
        if (request.compare(0, 9, row.first) == 0 && request.size() >= 9)
            return row.second == type;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    FuzzHost host;
    MPX23 dev;
    dev.poll_state = 4;
    const int code = kCodes[data[0] % 8];
    const int room = static_cast<int>(data[1] % 8) - 2;
    const std::string request(reinterpret_cast<const char *>(data + 2), size - 2);
    std::vector<char> copy(request.begin(), request.end());
    unsigned char out[8];
    std::memset(out, 0xAA, sizeof out);
    int used = -7;
    const int result =
        dev.DeviceIoControl(code, copy.data(), static_cast<int>(copy.size()), out, room, used);

    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(host.sent.size() <= 1);
    if ((code == 310 || code == 320) && result == 0)
        FUZZ_CHECK(host.sent.size() == 1);
    if (result == -1 || (code != 310 && code != 320)) {
        FUZZ_CHECK(host.sent.empty());
        FUZZ_CHECK(dev.poll_state == 4);
    }
    if (code != 310 && code != 320) {
        FUZZ_CHECK(used == (room >= 4 ? 4 : 0));
        if (room < 4)
            FUZZ_CHECK(out[0] == 0xAA);
    }
    if (!host.sent.empty()) {
        const SentFrame &f = host.sent[0];
        FUZZ_CHECK(result == 0 && dev.poll_state == code && peek(dev).ctrl_result == -1);
        if (code == 310) {
            FUZZ_CHECK(f.cid1 == 0x42 && f.cid2 == 0x49 && f.info.size() == 3);
            FUZZ_CHECK(known_parameter(request, f.info[0]));
        } else {
            FUZZ_CHECK(f.cid1 == 0x41 && f.cid2 == 0x45 && f.info.size() == 2);
            FUZZ_CHECK(known_remote_command(request, f.info[0]));
            // The request ends with the module: one to three digits, nothing after them.
            const std::string digits = request.size() > 9 ? request.substr(9) : "";
            FUZZ_CHECK(!digits.empty() && digits.size() <= 3 &&
                       digits.find_first_not_of("0123456789") == std::string::npos);
            FUZZ_CHECK(std::strtol(digits.c_str(), nullptr, 10) == f.info[1]);
        }
    }
    return 0;
}
