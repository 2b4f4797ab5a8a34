#include "host/core/plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace host {
namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

std::string executable_directory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    const std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

} // namespace

Plugin::Plugin(const std::string &path) : library(path) {
    // Never closed: the devices' code, tables and type information live in the library.
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw PluginError("cannot load plug-in: " + std::string(dlerror()));
    dlerror();
    auto entry = reinterpret_cast<GetProviders>(dlsym(handle, "get_providers"));
    if (!entry)
        throw PluginError("plug-in " + path + " has no entry point get_providers");
    providers = entry();
    for (const auto &p : providers)
        if (auto *f = dynamic_cast<KVOSPDeviceProvider *>(p.get())) {
            factory = f;
            break;
        }
    if (providers.empty())
        throw PluginError("plug-in " + path + " offers no device provider");
    if (!factory)
        throw PluginError("plug-in " + path + " offers no serial device provider");
}

std::shared_ptr<KVOVDevice> Plugin::create() const {
    std::shared_ptr<KVOVDevice> device(factory->create());
    if (!device)
        throw PluginError("plug-in " + library + " built no device");
    return device;
}

std::string default_plugin_path(const std::vector<std::string> &relative) {
    const std::string dir = executable_directory();
    for (const auto &r : relative) {
        const std::string candidate = dir + "/" + r;
        if (access(candidate.c_str(), R_OK) == 0)
            return candidate;
    }
    return dir + "/mpx23.so";
}

} // namespace host
