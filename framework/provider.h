// The provider interface through which the host creates devices. Both classes are the host's
// but defined inline, so the plug-in carries their constructors, destructors and tables.
#pragma once

#include "kvo_api.h"
#include "vdevice.h"

class KVO_API Provider {
public:
    virtual ~Provider() = default;
};

class KVO_API KVOSPDeviceProvider : public Provider {
public:
    // Builds a new device; ownership passes to the caller.
    virtual KVOVDevice *create() const = 0;
};
