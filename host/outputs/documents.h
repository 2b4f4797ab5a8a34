// The JSON documents a device's state and alarms are told in, alike on the broker and over
// HTTP, so that a consumer reads the same fields wherever it takes them from.
#pragma once

#include "host/common/events.h"
#include "host/outputs/block_view.h"
#include "host/outputs/compact_json.h"

#include <json/value.h>

#include <cstdint>
#include <map>
#include <string>

namespace host {

// An alarm active now, with the time (UTC, ISO 8601) it was raised.
struct ActiveAlarm {
    std::string text, detail, since;
};
using ActiveAlarms = std::map<std::string, ActiveAlarm>; // by signal_id

// A transition applied to the alarms active on its device: raised at `since`, or gone.
void note_alarm(ActiveAlarms &active, const AlarmRecord &alarm, const std::string &since);

// The last completed round: its `--json` document, the time it was published, the units and
// "comm_status": "ok". Written once per round, as text: it goes out as it is, and what it was
// written from is kept so that it can be written again marked lost.
class StateDocument {
public:
    StateDocument(const RoundCompleted &round, const DecodedBlock &block);
    // Once communication is lost: kept, as the best guess there is, but marked so that nothing
    // of it passes for current ("comm_status": "lost", "lost_since").
    void mark_lost();
    const std::string &text() const { return written; }
    Json::Value value() const { return parse_document(written); }

private:
    void write();

    uint32_t data_id;
    DecodedBlock block;
    std::vector<unsigned char> bytes;
    JsonMembers extras;
    std::string written;
};
// The alarms active on a device now, each with its English name.
Json::Value alarms_document(uint32_t data_id, const ActiveAlarms &active);

} // namespace host
