// The plug-in's only exported symbol: the host looks it up by its plain name.
#include "plugin/mpx23_provider.h"

#include <memory>
#include <vector>

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage" // the host calls it as C++
#endif

extern "C" KVO_API std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<MPX23Provider>());
    return providers;
}
