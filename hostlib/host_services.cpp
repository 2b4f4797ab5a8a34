#include "hostlib/host_services.h"

namespace kvo {
namespace {
HostServices quiet_services;
HostServices *installed = &quiet_services;
} // namespace

HostServices &services() {
    return *installed;
}

void install_services(HostServices *s) {
    installed = s ? s : &quiet_services;
}

ScopedServices::ScopedServices(HostServices &s) : previous(installed) {
    install_services(&s);
}

ScopedServices::~ScopedServices() {
    install_services(previous);
}

const char *fault_name(FrameFault fault) {
    static const char *const names[kFrameFaultKinds] = {
        "bad character", "bad length", "bad LCHKSUM", "bad CHKSUM", "echo",
        "other address", "RTN error",  "overflow",    "cut off",
    };
    auto index = static_cast<unsigned>(fault);
    return index < kFrameFaultKinds ? names[index] : "unknown";
}

} // namespace kvo
