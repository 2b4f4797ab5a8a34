// One program polls a port at a time. A host takes each port it polls for as long as it runs:
// the serial tools' lock file (LCK..NAME in the system's lock folder, holding the owner's
// process id), which terminal programs look at too, and a record lock in the host's run folder,
// which the system drops whenever the holder ends and which covers serial servers (tcp:) as
// well. A lock left by a process that no longer runs is taken over, and said so.
#pragma once

#include "host/common/device_config.h"
#include "host/common/log.h"

#include <stdexcept>
#include <string>
#include <sys/types.h>

namespace host {

// The line room's error: a port another program polls. Names the holder's process.
struct PortBusy : std::runtime_error {
    PortBusy(const std::string &what, pid_t holder) : std::runtime_error(what), holder(holder) {}
    pid_t holder;
};

class PortLock {
public:
    // Takes `port` (its text as configured) for this process; throws PortBusy. A port of the
    // built-in simulator takes no lock. `run_folder`: "" when there is none.
    PortLock(const std::string &port, const PortLocation &where, const std::string &run_folder,
             Log &log);
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // The serial tools' lock file of a serial port ("" when it has none), and the process that
    // holds `port` now (0: none, or none that still runs).
    static std::string serial_lock_file(const std::string &device_path);
    static pid_t holder(const std::string &port, const PortLocation &where,
                        const std::string &run_folder);

private:
    void take_serial_lock(const std::string &port, const std::string &device_path, Log &log);
    void take_record_lock(const std::string &port, const std::string &file);

    std::string serial_file; // ours to remove at the end
    int record_fd = -1;
};

} // namespace host
