// The protocol engine: command framing on the way out, the receive state machine and the
// address / return-code / echo checks on the way in.
#include "framework/pmbus_protocol.h"
#include "hostlib/frame_codec.h"
#include "hostlib/host_services.h"
#include "protocol/codes.h"

#include <array>
#include <cstdlib>
#include <cstring>

struct PMBusProtocol::Link {
    frame::Receiver receiver;
    std::array<unsigned, kFrameFaultKinds> faults{};
    unsigned accepted = 0;
    FrameFault last_fault = FrameFault::Character;
    int refusal = -1; // RTN of a refusal since the last command sent
    uint8_t address = 1;
    uint8_t version = 0x20;
    std::string setting_error;
    // The last command sent, to recognise its echo on adapters that echo what they send.
    char command[frame::encoded_size(frame::kMaxInfo)];
    size_t command_len = 0;
};

PMBusProtocol::PMBusProtocol() : link(new Link) {}
PMBusProtocol::~PMBusProtocol() = default;

namespace {

// Reads an integer setting given as a JSON number or as a decimal/hex text ("0x21").
bool read_byte_setting(const Json::Value &value, unsigned low, unsigned high, unsigned &out) {
    long long number = 0;
    if (value.isIntegral()) {
        number = value.asLargestInt();
    } else if (value.isString()) {
        const std::string text = value.asString();
        if (text.empty())
            return false;
        char *end = nullptr;
        number = std::strtoll(text.c_str(), &end, 0);
        if (*end != '\0')
            return false;
    } else {
        return false;
    }
    if (number < static_cast<long long>(low) || number > static_cast<long long>(high))
        return false;
    out = static_cast<unsigned>(number);
    return true;
}

} // namespace

int PMBusProtocol::InitSetting(const Json::Value &settings) {
    link->setting_error.clear();
    if (settings.isNull())
        return 1;
    if (!settings.isObject()) {
        link->setting_error = "settings: expected a JSON object";
        return 0;
    }
    unsigned address = link->address;
    unsigned version = link->version;
    if (settings.isMember("address") && !read_byte_setting(settings["address"], 1, 254, address)) {
        link->setting_error = "address: expected an integer from 1 to 254";
        return 0;
    }
    if (settings.isMember("protocol_version") &&
        !read_byte_setting(settings["protocol_version"], 0, 255, version)) {
        link->setting_error = "protocol_version: expected an integer from 0 to 255 (or \"0x21\")";
        return 0;
    }
    link->address = static_cast<uint8_t>(address);
    link->version = static_cast<uint8_t>(version);
    return 1;
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
    return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                   const unsigned char *info, int len) {
    if (len < 0 || static_cast<unsigned>(len) > frame::kMaxInfo || (len > 0 && !info))
        return -1;
    link->command_len = frame::encode(link->version, link->address, cid1, cid2, info,
                                      static_cast<size_t>(len), link->command);
    link->refusal = -1;
    return SendData(reinterpret_cast<const unsigned char *>(link->command),
                    static_cast<unsigned>(link->command_len));
}

int PMBusProtocol::process(unsigned char *data, unsigned len) {
    int delivered = 0;
    if (!data)
        return 0;
    for (unsigned i = 0; i < len; ++i) {
        const auto event = link->receiver.push(data[i]);
        if (event == frame::Receiver::Event::None)
            continue;
        if (event == frame::Receiver::Event::Fault) {
            link->last_fault = link->receiver.fault();
            process_error();
            continue;
        }
        const auto &rx = link->receiver;
        // The echo is the command's own bytes between SOI and EOI.
        if (link->command_len == rx.char_count() + 2 &&
            std::memcmp(link->command + 1, rx.chars(), rx.char_count()) == 0) {
            link->command_len = 0;
            link->last_fault = FrameFault::Echo;
            process_error();
            continue;
        }
        const uint8_t *bin = rx.binary();
        if (bin[1] != link->address) {
            link->last_fault = FrameFault::Address;
            process_error();
            continue;
        }
        if (bin[3] != protocol::rtn::kNormal) {
            link->refusal = bin[3];
            link->last_fault = FrameFault::ReturnCode;
            process_error();
            continue;
        }
        ++link->accepted;
        rx_frame = link->receiver.binary();
        process_payload();
        ++delivered;
    }
    return delivered;
}

void PMBusProtocol::process_error() {
    ++link->faults[static_cast<unsigned>(link->last_fault)];
    kvo::services().FrameRejected(*this, link->last_fault);
}

unsigned PMBusProtocol::fault_count(FrameFault fault) const {
    auto index = static_cast<unsigned>(fault);
    return index < link->faults.size() ? link->faults[index] : 0;
}

unsigned PMBusProtocol::frames_accepted() const {
    return link->accepted;
}
FrameFault PMBusProtocol::last_fault() const {
    return link->last_fault;
}
int PMBusProtocol::refusal() const {
    return link->refusal;
}
const std::string &PMBusProtocol::setting_error() const {
    return link->setting_error;
}
uint8_t PMBusProtocol::address() const {
    return link->address;
}
uint8_t PMBusProtocol::version() const {
    return link->version;
}
