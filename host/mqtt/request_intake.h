// Set and control requests from the broker: each payload checked to the letter before anything
// of it reaches the driver (size, strict JSON, its id, its form, the confirmations a dangerous
// request needs), handed to the request desk when it passes, and answered with its outcome
// either way.
#pragma once

#include "host/core/requests.h"

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace host {

// The largest request payload taken; anything longer is refused unread.
constexpr size_t kLargestRequestPayload = 512;

class RequestIntake {
public:
    // Where a request's result goes: <prefix>/<data_id>/result.
    using PublishResult = std::function<void(uint32_t data_id, const std::string &payload)>;

    RequestIntake(RequestDesk &desk, PublishResult publish);

    // A payload on the device's set (`set`) or control topic; `retained`: handed over at
    // subscription, published before the host listened.
    void take(uint32_t data_id, bool set, const std::string &payload, bool retained);

private:
    void answer(uint32_t data_id, bool set, const Json::Value &request_id,
                const std::string &request, const RequestOutcome &outcome);
    void refuse(uint32_t data_id, bool set, const Json::Value &request_id,
                const std::string &request, const std::string &reason);

    std::string own_id();

    RequestDesk &desk;
    PublishResult publish;
    unsigned long ids_given = 0;
};

} // namespace host
