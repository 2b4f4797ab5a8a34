// One history file serves one host at a time: two hosts writing one file would each publish
// the other's waiting MQTT events and interleave their rows. The lock is a POSIX record lock
// on FILE.lock, which the system drops when the holder ends however it ends, and which names
// the holder's process to the one refused.
#pragma once

#include <string>

namespace host {

class HistoryLock {
public:
    // Throws HistoryError naming the process that holds the file. A lock file that cannot be
    // made (a read-only folder) is no lock: the history itself then tells what it can do.
    explicit HistoryLock(const std::string &history_path);
    ~HistoryLock();
    HistoryLock(const HistoryLock &) = delete;
    HistoryLock &operator=(const HistoryLock &) = delete;

private:
    int fd = -1;
};

} // namespace host
