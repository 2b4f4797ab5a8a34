// The JSON documents a device's state and alarms are told in, alike on the broker and over
// HTTP, so that a consumer reads the same fields wherever it takes them from.
#pragma once

#include "host/common/events.h"
#include "host/json/block_document.h"
#include "host/json/json_writer.h"

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
// "comm_status": "ok". Written as text the first time someone reads it, and then kept: it goes
// out as it is, a round nobody reads costs no writing, and what it is written from is kept so
// that it can be written again marked lost.
//
// The compact form leaves out the block's hex and the units, a third of the document, which
// the broker would otherwise carry again with every state; over HTTP the full form is asked for
// now and then, and keeps them.
class StateDocument {
public:
    enum class Form { Full, Compact };

    StateDocument(const RoundCompleted &round, const DecodedBlock &block);
    // Once communication is lost: kept, as the best guess there is, but marked so that nothing
    // of it passes for current ("comm_status": "lost", "lost_since").
    void mark_lost();
    const std::string &text(Form form = Form::Full) const;

private:
    RoundCompleted round; // its figures; the pointers left null
    DecodedBlock block;
    std::vector<unsigned char> bytes;
    double published;               // seconds since the epoch
    double lost_since = 0.0;        // 0: not lost
    mutable std::string written[2]; // by Form; empty: not written since the last change
};
// An alarm transition as a JSON object (the time in ISO 8601), with the alarm's English name;
// with its history row when `row` is not 0.
std::string alarm_document(const AlarmRecord &alarm, int64_t row = 0);

// The alarms active on a device now, each with its English name; with "communication" ("ok",
// "lost", "unknown") when it is given, as the broker has it.
std::string alarms_document(uint32_t data_id, const ActiveAlarms &active,
                            const char *communication = nullptr);

// A stored block as the history lists it: its document with its row and the time it was stored.
std::string stored_block_document(int64_t row, const std::string &stored, uint32_t data_id,
                                  const std::string &bytes, const DecodedBlock &block);

} // namespace host
