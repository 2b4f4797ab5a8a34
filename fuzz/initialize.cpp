// Start-up of every fuzz target: the driver's diagnostic lines go to /dev/null, so that only
// findings show.
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}
