#include "host/outputs/documents.h"

#include "host/common/catalogue.h"
#include "host/common/clock_text.h"

namespace host {

Json::Value state_document(const RoundCompleted &round, const DecodedBlock &block) {
    Json::Value payload = round_json(round, block);
    payload["published"] = utc_time_text();
    payload["units"] = block_units();
    payload["comm_status"] = "ok";
    return payload;
}

void mark_lost(Json::Value &state) {
    state["comm_status"] = "lost";
    state["lost_since"] = utc_time_text();
}

void note_alarm(ActiveAlarms &active, const AlarmRecord &alarm, const std::string &since) {
    if (alarm.raised)
        active[alarm.signal_id] = {alarm.text, alarm.detail, since};
    else
        active.erase(alarm.signal_id);
}

Json::Value alarms_document(uint32_t data_id, const ActiveAlarms &active) {
    Json::Value payload;
    payload["data_id"] = data_id;
    payload["time"] = utc_time_text();
    payload["active"] = Json::Value(Json::arrayValue);
    for (const auto &[id, a] : active) {
        Json::Value entry;
        entry["signal_id"] = id;
        entry["name"] = catalogue::alarm_name(id);
        entry["text"] = a.text;
        entry["detail"] = a.detail;
        entry["since"] = a.since;
        payload["active"].append(entry);
    }
    return payload;
}

} // namespace host
