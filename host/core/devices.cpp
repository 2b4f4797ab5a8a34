#include "host/core/devices.h"

#include "framework/pmbus_protocol.h"

namespace host {
namespace {

// Splits the engine's "key: what" so that the message names the key where it was given.
std::string setting_message(const DeviceConfig &d, const std::string &error) {
    const auto colon = error.find(": ");
    if (colon == std::string::npos)
        return d.key_name("settings") + ": " + error;
    return d.key_name("settings." + error.substr(0, colon)) + error.substr(colon);
}

} // namespace

std::shared_ptr<KVOVDevice> make_device(const Plugin &plugin, const DeviceConfig &d,
                                        const std::shared_ptr<KVOController> &controller) {
    auto device = plugin.create();
    auto *engine = dynamic_cast<PMBusProtocol *>(device.get());
    if (!engine)
        throw PluginError("plug-in " + plugin.path() + " built a device without a serial engine");
    if (device->Init(controller, d.data_id, d.driver_settings()) != 1 ||
        !engine->setting_error().empty())
        throw ConfigError(setting_message(
            d, engine->setting_error().empty() ? "refused" : engine->setting_error()));
    engine->baud_rate = static_cast<int32_t>(d.baud);
    for (const auto &[id, setting] : d.effective_alarm_settings())
        device->alarm_settings[id] = setting;
    for (const auto &[id, threshold] : d.effective_alarm_thresholds())
        device->alarm_thresholds[id] = threshold;
    return device;
}

bool restore_cache(History &history, KVOVDevice &device, Log &log) {
    const auto stored = history.newest_block(device.data_id);
    if (!stored)
        return false;
    const int result =
        device.LoadFromCache(reinterpret_cast<const unsigned char *>(stored->bytes.data()),
                             static_cast<int>(stored->bytes.size()));
    log.line("device " + std::to_string(device.data_id) + ": cache restored from history (" +
             std::to_string(stored->bytes.size()) + " bytes stored " + stored->time +
             ", LoadFromCache " + std::to_string(result) + ")");
    return true;
}

} // namespace host
