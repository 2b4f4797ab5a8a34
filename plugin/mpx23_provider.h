// The plug-in's one device provider: builds an MPX23 driver object for each configured power
// system.
#pragma once

#include "framework/provider.h"
#include "mpx23/mpx23.h"

class MPX23Provider : public KVOSPDeviceProvider {
public:
    // Ownership of the new device passes to the caller (the host).
    KVOVDevice *create() const override { return new MPX23(); }
};
