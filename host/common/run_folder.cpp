#include "host/common/run_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace host {
namespace {

std::string environment(const char *name) {
    const char *value = std::getenv(name);
    return value ? value : "";
}

// A folder of this user's (or any, for root), made when missing: one another user made first in
// a shared place such as /tmp is not taken.
bool usable(const std::string &folder) {
    if (folder.empty())
        return false;
    if (::mkdir(folder.c_str(), 0750) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (st.st_uid != ::getuid() && ::getuid() != 0)
        return false;
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

} // namespace

std::vector<std::string> run_folders() {
    std::vector<std::string> folders;
    // The service manager may give several folders, separated by ':': the first is the host's.
    const std::string given = environment("RUNTIME_DIRECTORY");
    if (!given.empty())
        folders.push_back(given.substr(0, given.find(':')));
    folders.push_back("/run/mpx23");
    folders.push_back("/var/run/mpx23");
    const std::string user = environment("XDG_RUNTIME_DIR");
    if (!user.empty())
        folders.push_back(user + "/mpx23");
    folders.push_back("/tmp/mpx23-" + std::to_string(::getuid()));
    return folders;
}

std::string own_run_folder() {
    for (const std::string &folder : run_folders())
        if (usable(folder))
            return folder;
    return "";
}

} // namespace host
