// Devices as the host sets them up: built by the plug-in's provider, initialised with their
// settings, given their alarm configuration and, from the history, their last block.
#pragma once

#include "host/common/device_config.h"
#include "host/common/log.h"
#include "host/core/plugin_loader.h"
#include "host/stores/history.h"

#include <memory>

namespace host {

// Builds and initialises one device. Throws ConfigError for settings the protocol engine
// refuses (the message names the key where it was given) and PluginError for a device that is
// not a serial protocol device.
std::shared_ptr<KVOVDevice> make_device(const Plugin &plugin, const DeviceConfig &config,
                                        const std::shared_ptr<KVOController> &controller);

// Hands the newest stored block of the device to its LoadFromCache, as the controller does at
// start-up. False when the history holds none.
bool restore_cache(History &history, KVOVDevice &device, Log &log);

} // namespace host
