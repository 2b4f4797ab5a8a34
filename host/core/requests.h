// Control requests as the polling core carries them: what was asked, where it came from, and
// what became of it.
#pragma once

#include "host/common/events.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace host {

class Events;

// What became of a control request: "answered", "not answered", "refused" (with the reason) or
// "busy".
struct RequestOutcome {
    std::string outcome;
    std::string reason;
};

// A control request from outside the command line (the MQTT broker): its outcome goes to `done`,
// which may run before submit() returns.
struct RemoteRequest {
    bool set = false; // a parameter setting (code 310), else a remote control (code 320)
    std::string text; // what the driver is handed
    std::string source;
    std::string request_id;
    std::function<void(const RequestOutcome &)> done;
    // A control to a module the power system does not have goes out only when confirmed;
    // `force_hint` says how this request's source confirms it.
    bool force = false;
    const char *force_hint = "--force";
};

// Where requests from outside are handed in.
class RequestDesk {
public:
    // Hands a request to the device `data_id`; an unknown device refuses it at once.
    virtual void submit(uint32_t data_id, RemoteRequest request) = 0;
    // A request that ends before it reaches the line: its outcome is told and goes to the caller.
    virtual void conclude(uint32_t data_id, const RemoteRequest &request,
                          const RequestOutcome &outcome) = 0;

protected:
    ~RequestDesk() = default;
};

// One thing a device does between rounds: read a value, or carry out a request.
struct Operation {
    enum Kind { Get, Set, Control } kind = Get;
    std::string text;
    std::shared_ptr<RemoteRequest> remote; // null: from the command line
    bool force = false; // from the command line: --force (a remote request carries its own)
};

// The record of a request that ended, as the history and the broker keep it.
RequestRecord request_record(uint32_t data_id, const RemoteRequest *remote, bool set,
                             const std::string &text, const RequestOutcome &outcome);

// Tells the end of a request that never reached the line, then hands its outcome back.
void conclude_unsent(Events &events, uint32_t data_id, const RemoteRequest &request,
                     const RequestOutcome &outcome);

} // namespace host
