#include "host/core/requests.h"

#include "host/common/clock_text.h"

namespace host {

RequestRecord request_record(uint32_t data_id, const RemoteRequest *remote, bool set,
                             const std::string &text, const RequestOutcome &outcome) {
    return {0,
            data_id,
            local_time_text(),
            remote ? remote->source : "command line",
            set ? "set" : "control",
            remote ? remote->request_id : "",
            text,
            outcome.outcome,
            outcome.reason};
}

void conclude_unsent(Events &events, uint32_t data_id, const RemoteRequest &request,
                     const RequestOutcome &outcome) {
    RequestConcluded told;
    told.request = request_record(data_id, &request, request.set, request.text, outcome);
    events.tell(&Observer::request_concluded, told);
    if (request.done)
        request.done(outcome);
}

} // namespace host
