// A host that records every call a device makes, in order, so that tests can say "the host saw
// these nine commands, then one SendSP of 381 bytes".
#pragma once

#include "hostlib/host_services.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace testing_host {

struct Call {
    std::string name;           // "SendSP", "SaveDeviceHistory", "Reset", ...
    std::string text;           // name / log line / signal id, where the call has one
    std::vector<uint8_t> bytes; // copied data of SendSP, SaveDeviceHistory, SendData
    const void *data = nullptr; // the pointer as passed
    int number = 0;             // type code / setting / flag
    float value = 0.0f;
};

// A command as the device sent it, decoded back from its frame.
struct Command {
    uint8_t ver = 0, adr = 0, cid1 = 0, cid2 = 0;
    std::vector<uint8_t> info;
    std::string wire;
    bool operator==(const Command &o) const {
        return cid1 == o.cid1 && cid2 == o.cid2 && info == o.info;
    }
};

struct AlarmReport {
    int setting;
    std::string id, id2, detail, text;
    bool active;
    unsigned short flag;
};

class RecordingHost : public kvo::HostServices {
public:
    RecordingHost() : guard(*this) {}

    bool CheckAOReport(KVOVDevice &, const std::string &name, float value) override;
    bool CheckThreshold(KVOVDevice &, const std::string &name, const std::string &text, float value,
                        int flag) override;
    bool CheckThresholdBool(KVOVDevice &, int setting, const std::string &id,
                            const std::string &id2, const std::string &detail,
                            const std::string &text, bool active, unsigned short flag) override;
    bool DoBatchCheckThreshold(KVOVDevice &, std::vector<rule_value> &rules) override;
    int SendSP(KVOVDevice &, int type_code, const unsigned char *data, unsigned len,
               bool flag) override;
    bool SaveDeviceHistory(KVOVDevice &, const unsigned char *data, unsigned len) override;
    void InfoLog(KVOVDevice &, const std::string &line) override;
    int OpenPort(KVOSPDevice &) override;
    void Reset(KVOSPDevice &) override;
    int SendData(KVOSPDevice &, const unsigned char *data, unsigned len) override;
    int RefreshStatus(KVOSPDevice &) override;
    void FrameRejected(PMBusProtocol &, FrameFault fault) override;

    // Names of the recorded calls, in order; `except` drops the named ones.
    std::vector<std::string> names(const std::vector<std::string> &except = {}) const;
    const Call *last(const std::string &name) const;
    int count(const std::string &name) const;
    void clear();

    std::vector<Call> calls;
    std::vector<Command> sent;
    std::vector<AlarmReport> alarms;
    std::vector<FrameFault> rejected;
    std::vector<std::string> log;

    bool ao_report_result = false;
    bool batch_result = false;
    size_t batch_rules_seen = 0;

private:
    kvo::ScopedServices guard;
};

void PrintTo(const Command &c, std::ostream *os);

// Short form for expected commands: {cid1, cid2, info}.
Command cmd(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info = {});

} // namespace testing_host
