#include "host/outputs/documents.h"

#include "host/common/catalogue.h"
#include "host/common/clock_text.h"

namespace host {

namespace {

JsonMember text_member(const char *key, const std::string &text) {
    std::string value;
    append_json_string(value, text);
    return {key, value};
}

} // namespace

StateDocument::StateDocument(const RoundCompleted &round, const DecodedBlock &block)
    : data_id(round.data_id), block(block),
      bytes(round.block, round.block + round.length), extras{
                                                          poll_member(round),
                                                          text_member("published", utc_time_text()),
                                                          units_member(),
                                                          text_member("comm_status", "ok")} {
    write();
}

void StateDocument::mark_lost() {
    extras.push_back(text_member("comm_status", "lost"));
    extras.push_back(text_member("lost_since", utc_time_text()));
    write();
}

void StateDocument::write() {
    written = block_document(data_id, block, bytes.data(), bytes.size(), extras);
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
