#include "tests/recording_host.h"

#include "hostlib/frame_codec.h"

#include <algorithm>
#include <stdexcept>

namespace testing_host {
namespace {

Call make_call(std::string name, std::string text = {}) {
    Call c;
    c.name = std::move(name);
    c.text = std::move(text);
    return c;
}

Command decode_command(const unsigned char *data, unsigned len) {
    frame::Receiver receiver;
    Command command;
    command.wire.assign(reinterpret_cast<const char *>(data), len);
    for (unsigned i = 0; i < len; ++i) {
        if (receiver.push(data[i]) != frame::Receiver::Event::Frame)
            continue;
        const uint8_t *bin = receiver.binary();
        command.ver = bin[0];
        command.adr = bin[1];
        command.cid1 = bin[2];
        command.cid2 = bin[3];
        command.info.assign(bin + 6, bin + 6 + receiver.info_len());
        return command;
    }
    throw std::runtime_error("device sent a malformed frame: " + command.wire);
}

} // namespace

bool RecordingHost::CheckAOReport(KVOVDevice &, const std::string &name, float value) {
    Call c = make_call("CheckAOReport", name);
    c.value = value;
    calls.push_back(c);
    return ao_report_result;
}

bool RecordingHost::CheckThreshold(KVOVDevice &, const std::string &name, const std::string &text,
                                   float value, int flag) {
    Call c = make_call("CheckThreshold", name);
    c.value = value;
    c.number = flag;
    c.bytes.assign(text.begin(), text.end());
    calls.push_back(c);
    return false;
}

bool RecordingHost::CheckThresholdBool(KVOVDevice &, int setting, const std::string &id,
                                       const std::string &id2, const std::string &detail,
                                       const std::string &text, bool active, unsigned short flag) {
    Call c = make_call("CheckThresholdBool", id);
    c.number = setting;
    calls.push_back(c);
    alarms.push_back({setting, id, id2, detail, text, active, flag});
    return false;
}

bool RecordingHost::DoBatchCheckThreshold(KVOVDevice &, std::vector<rule_value> &rules) {
    batch_rules_seen = rules.size();
    calls.push_back(make_call("DoBatchCheckThreshold"));
    return batch_result;
}

int RecordingHost::SendSP(KVOVDevice &, int type_code, const unsigned char *data, unsigned len,
                          bool flag) {
    Call c = make_call("SendSP");
    c.number = type_code;
    c.data = data;
    c.value = flag ? 1.0f : 0.0f;
    if (data)
        c.bytes.assign(data, data + len);
    calls.push_back(c);
    return 0;
}

bool RecordingHost::SaveDeviceHistory(KVOVDevice &, const unsigned char *data, unsigned len) {
    Call c = make_call("SaveDeviceHistory");
    c.data = data;
    if (data)
        c.bytes.assign(data, data + len);
    calls.push_back(c);
    return true;
}

void RecordingHost::InfoLog(KVOVDevice &, const std::string &line) {
    calls.push_back(make_call("InfoLog", line));
    log.push_back(line);
}

int RecordingHost::OpenPort(KVOSPDevice &) {
    calls.push_back(make_call("OpenPort"));
    return 0;
}

void RecordingHost::Reset(KVOSPDevice &) {
    calls.push_back(make_call("Reset"));
}

int RecordingHost::SendData(KVOSPDevice &, const unsigned char *data, unsigned len) {
    Call c = make_call("SendData");
    c.bytes.assign(data, data + len);
    calls.push_back(c);
    sent.push_back(decode_command(data, len));
    return static_cast<int>(len);
}

int RecordingHost::RefreshStatus(KVOSPDevice &) {
    calls.push_back(make_call("RefreshStatus"));
    return 1;
}

void RecordingHost::FrameRejected(PMBusProtocol &, FrameFault fault) {
    calls.push_back(make_call("FrameRejected", kvo::fault_name(fault)));
    rejected.push_back(fault);
}

std::vector<std::string> RecordingHost::names(const std::vector<std::string> &except) const {
    std::vector<std::string> out;
    for (const auto &c : calls)
        if (std::find(except.begin(), except.end(), c.name) == except.end())
            out.push_back(c.name);
    return out;
}

const Call *RecordingHost::last(const std::string &name) const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        if (it->name == name)
            return &*it;
    return nullptr;
}

int RecordingHost::count(const std::string &name) const {
    return static_cast<int>(
        std::count_if(calls.begin(), calls.end(), [&](const Call &c) { return c.name == name; }));
}

void RecordingHost::clear() {
    calls.clear();
    sent.clear();
    alarms.clear();
    rejected.clear();
    log.clear();
}

void PrintTo(const Command &c, std::ostream *os) {
    static const char digits[] = "0123456789ABCDEF";
    *os << "{0x" << digits[c.cid1 >> 4] << digits[c.cid1 & 15] << ", 0x" << digits[c.cid2 >> 4]
        << digits[c.cid2 & 15] << ", [";
    for (uint8_t b : c.info)
        *os << ' ' << digits[b >> 4] << digits[b & 15];
    *os << " ]}";
}

Command cmd(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info) {
    Command c;
    c.cid1 = cid1;
    c.cid2 = cid2;
    c.info = std::move(info);
    return c;
}

} // namespace testing_host
