// Libraries the host must refuse as plug-ins: one without the entry point, one whose entry
// point offers no provider.
#include "framework/provider.h"

#include <memory>
#include <vector>

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage" // called as C++, like the real one
#endif

#ifdef FIXTURE_WITH_ENTRY
extern "C" KVO_API std::vector<std::shared_ptr<Provider>> get_providers() {
    return {};
}
#else
extern "C" KVO_API int not_a_driver() {
    return 0;
}
#endif
