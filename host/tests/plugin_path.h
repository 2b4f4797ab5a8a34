// The plug-in the build made, for the tests that load it. A build without the plug-in target
// still compiles those tests; each one then skips and says why, so that the count of tests run
// shows what was left out.
#pragma once

#include <gtest/gtest.h>

namespace testing_host {

// The plug-in's path; empty when this build makes none.
inline const char *plugin_path() {
#ifdef HOST_PLUGIN
    return HOST_PLUGIN;
#else
    return "";
#endif
}

} // namespace testing_host

// Skips the calling test (or fixture set-up) when there is no plug-in to load.
#define NEEDS_PLUGIN()                                                                             \
    do {                                                                                           \
        if (*testing_host::plugin_path() == '\0')                                                  \
            GTEST_SKIP() << "mpx23.so is not part of this build";                                  \
    } while (false)
