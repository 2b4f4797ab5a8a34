// Loads a driver plug-in the way the controller does: dlopen by path, the entry point
// get_providers, and a device provider that builds the devices. The library stays loaded for
// the life of the program, because its devices' code and tables live in it.
#pragma once

#include "framework/provider.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

struct PluginError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Plugin {
public:
    // Throws PluginError for a library that cannot be loaded, has no entry point or offers no
    // device provider.
    explicit Plugin(const std::string &path);

    // A new device of the plug-in's provider; ownership passes to the caller.
    std::shared_ptr<KVOVDevice> create() const;
    const std::string &path() const { return library; }

private:
    std::string library;
    std::vector<std::shared_ptr<Provider>> providers;
    KVOSPDeviceProvider *factory = nullptr;
};

// The plug-in that came with the program: the first of the `relative` paths (where the build
// puts it, where the install rules put it) that exists, resolved against the directory of the
// running executable, else mpx23.so in that directory.
std::string default_plugin_path(const std::vector<std::string> &relative);

} // namespace host
