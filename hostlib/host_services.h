// The one seam between the host's device classes and the program that hosts them. Every host
// service a driver calls ends up here: the reference host installs its real services, a test
// installs a recorder. With nothing installed, every service does nothing and reports false.
#pragma once

#include "framework/host_records.h"
#include "framework/pmbus_protocol.h"
#include "framework/vdevice.h"

#include <string>
#include <vector>

namespace kvo {

class HostServices {
public:
    virtual ~HostServices() = default;

    virtual bool CheckAOReport(KVOVDevice &, const std::string & /*name*/, float) { return false; }
    virtual bool CheckThreshold(KVOVDevice &, const std::string & /*name*/,
                                const std::string & /*text*/, float /*value*/, int /*flag*/) {
        return false;
    }
    virtual bool CheckThresholdBool(KVOVDevice &, int /*setting*/, const std::string & /*id*/,
                                    const std::string & /*id2*/, const std::string & /*detail*/,
                                    const std::string & /*text*/, bool /*active*/,
                                    unsigned short /*flag*/) {
        return false;
    }
    virtual bool DoBatchCheckThreshold(KVOVDevice &, std::vector<rule_value> &) { return false; }
    virtual int SendSP(KVOVDevice &, int /*type_code*/, const unsigned char *, unsigned, bool) {
        return 0;
    }
    virtual bool SaveDeviceHistory(KVOVDevice &, const unsigned char *, unsigned) { return false; }
    // A line for the device's log, "{}" already replaced.
    virtual void InfoLog(KVOVDevice &, const std::string & /*line*/) {}
    virtual int OpenPort(KVOSPDevice &) { return 0; }
    virtual void Reset(KVOSPDevice &) {}
    virtual int SendData(KVOSPDevice &, const unsigned char *, unsigned len) {
        return static_cast<int>(len);
    }
    virtual int RefreshStatus(KVOSPDevice &) { return 1; }
    // The protocol engine dropped a frame.
    virtual void FrameRejected(PMBusProtocol &, FrameFault) {}
};

// The installed services (a do-nothing instance when none is installed).
HostServices &services();
// Installs `s` (not owned); nullptr restores the do-nothing services.
void install_services(HostServices *s);

// Installs services for the lifetime of the guard, then restores what was there before.
class ScopedServices {
public:
    explicit ScopedServices(HostServices &s);
    ~ScopedServices();
    ScopedServices(const ScopedServices &) = delete;
    ScopedServices &operator=(const ScopedServices &) = delete;

private:
    HostServices *previous;
};

const char *fault_name(FrameFault fault);

} // namespace kvo
