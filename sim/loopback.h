// Connects a device in the same process to a Simulator, in place of a serial line. Installed
// as the host services for its lifetime: what the device sends goes to the simulator, and the
// simulator's reply bytes wait in a queue until pump() hands them to the device. Pauses
// between chunks are ignored.
//
//   sim::Simulator s;
//   sim::Loopback link(s);
//   SomeDevice dev;
//   dev.RefreshStatus();   // sends the round's first command
//   link.pump(dev);        // replies in, next commands out, until the line is quiet
//
// Every other host service goes to `next` (for example a recording test host), or to the
// do-nothing services when none is given. `next` also sees each SendData, so a recorder
// still records the commands.
#pragma once

#include "hostlib/host_services.h"
#include "sim/replay.h"
#include "sim/simulator.h"

#include <functional>
#include <string>

namespace sim {

class Loopback : public kvo::HostServices {
public:
    explicit Loopback(Simulator &sim, kvo::HostServices *next = nullptr);
    // A recorded line answers instead of a simulated power system.
    explicit Loopback(Replay &replay, kvo::HostServices *next = nullptr);

    // Hands the queued bytes to dev.process() until no more come back (the device sends its
    // next command from within process(), so the queue refills until the exchange ends), at
    // most `max_deliveries` times. Returns the number of frames the device accepted.
    int pump(PMBusProtocol &dev, unsigned max_deliveries = 1000);

    const std::string &pending() const { return queue; }
    unsigned commands() const { return sent; }

    int SendData(KVOSPDevice &dev, const unsigned char *data, unsigned len) override;

    bool CheckAOReport(KVOVDevice &d, const std::string &name, float v) override {
        return next().CheckAOReport(d, name, v);
    }
    bool CheckThreshold(KVOVDevice &d, const std::string &name, const std::string &text,
                        float value, int flag) override {
        return next().CheckThreshold(d, name, text, value, flag);
    }
    bool CheckThresholdBool(KVOVDevice &d, int setting, const std::string &id,
                            const std::string &id2, const std::string &detail,
                            const std::string &text, bool active, unsigned short flag) override {
        return next().CheckThresholdBool(d, setting, id, id2, detail, text, active, flag);
    }
    bool DoBatchCheckThreshold(KVOVDevice &d, std::vector<rule_value> &rules) override {
        return next().DoBatchCheckThreshold(d, rules);
    }
    int SendSP(KVOVDevice &d, int type_code, const unsigned char *data, unsigned len,
               bool flag) override {
        return next().SendSP(d, type_code, data, len, flag);
    }
    bool SaveDeviceHistory(KVOVDevice &d, const unsigned char *data, unsigned len) override {
        return next().SaveDeviceHistory(d, data, len);
    }
    void InfoLog(KVOVDevice &d, const std::string &line) override { next().InfoLog(d, line); }
    int OpenPort(KVOSPDevice &d) override { return next().OpenPort(d); }
    void Reset(KVOSPDevice &d) override { next().Reset(d); }
    int RefreshStatus(KVOSPDevice &d) override { return next().RefreshStatus(d); }
    void FrameRejected(PMBusProtocol &p, FrameFault f) override { next().FrameRejected(p, f); }

private:
    kvo::HostServices &next() { return forward ? *forward : quiet; }

    std::function<Chunks(const uint8_t *, size_t)> answer;
    kvo::HostServices *forward;
    kvo::HostServices quiet;
    std::string queue;
    unsigned sent = 0;
    kvo::ScopedServices guard; // last: installed once everything above is ready
};

} // namespace sim
