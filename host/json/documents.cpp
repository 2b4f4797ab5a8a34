#include "host/json/documents.h"

#include "host/common/catalogue.h"
#include "host/common/clock_text.h"

#include <chrono>

namespace host {

namespace {

JsonMember text_member(const char *key, const std::string &text) {
    std::string value;
    append_json_string(value, text);
    return {key, value};
}

} // namespace

namespace {

RoundCompleted figures_of(const RoundCompleted &round) {
    RoundCompleted figures;
    figures.data_id = round.data_id;
    figures.cost = round.cost;
    return figures;
}

double epoch_now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

} // namespace

StateDocument::StateDocument(const RoundCompleted &round, const DecodedBlock &block)
    : round(figures_of(round)), block(block), bytes(round.block, round.block + round.length),
      published(epoch_now()) {}

void StateDocument::mark_lost() {
    lost_since = epoch_now();
    for (std::string &text : written)
        text.clear();
}

const std::string &StateDocument::text(Form form) const {
    std::string &out = written[static_cast<size_t>(form)];
    if (!out.empty())
        return out;
    const bool full = form == Form::Full;
    JsonMembers extras{poll_member(round), text_member("published", iso_utc_time(published)),
                       text_member("comm_status", lost_since ? "lost" : "ok")};
    if (full)
        extras.push_back(units_member());
    if (lost_since)
        extras.push_back(text_member("lost_since", iso_utc_time(lost_since)));
    out = block_document(round.data_id, block, bytes.data(), bytes.size(), extras,
                         full ? BlockHex::With : BlockHex::Without);
    return out;
}

void note_alarm(ActiveAlarms &active, const AlarmRecord &alarm, const std::string &since) {
    if (alarm.raised)
        active[alarm.signal_id] = {alarm.text, alarm.detail, since};
    else
        active.erase(alarm.signal_id);
}

std::string alarms_document(uint32_t data_id, const ActiveAlarms &active,
                            const char *communication) {
    std::string out;
    JsonWriter w(out);
    w.object().key("active").array();
    for (const auto &[id, a] : active) {
        w.object().key("detail").text(a.detail).key("name").text(catalogue::alarm_name(id));
        w.key("signal_id").text(id).key("since").text(a.since).key("text").text(a.text).end();
    }
    w.end();
    if (communication)
        w.key("communication").text(communication);
    w.key("data_id").number(data_id).key("time").text(utc_time_text()).end();
    return out;
}

std::string alarm_document(const AlarmRecord &a, int64_t row) {
    std::string out;
    JsonWriter w(out);
    w.object().key("alarm").text(a.raised ? "raised" : "cleared");
    w.key("data_id").number(a.data_id).key("detail").text(a.detail);
    w.key("name").text(catalogue::alarm_name(a.signal_id));
    if (row != 0)
        w.key("row").number(row);
    w.key("signal_id").text(a.signal_id).key("text").text(a.text);
    w.key("time").text(iso_local_time(a.time)).end();
    return out;
}

std::string stored_block_document(int64_t row, const std::string &stored, uint32_t data_id,
                                  const std::string &bytes, const DecodedBlock &block) {
    std::string row_text, stored_text;
    append_integer(row_text, row);
    append_json_string(stored_text, iso_local_time(stored));
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    return block_document(data_id, block, data, bytes.size(),
                          {{"row", row_text}, {"stored", stored_text}});
}

} // namespace host
