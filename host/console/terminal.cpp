#include "host/console/terminal.h"

#include "host/common/plain_text.h"
#include "host/console/table.h"
#include "host/json/documents.h"
#include "host/json/json_writer.h"

#include <cstdio>

namespace host {
namespace {

std::string device_label(uint32_t data_id) {
    return "device " + std::to_string(data_id);
}

// Once a command went out, a refusal can only be the device's, and its reason says with which
// error return ("refused by the device, RTN 0x06").
std::string control_outcome_text(const RequestConcluded &r) {
    if (!r.sent)
        return "nothing sent";
    return r.request.outcome == "refused" ? r.request.reason : r.request.outcome;
}

} // namespace

// An unreadable block has been told by the core.
void Terminal::round_completed(const RoundCompleted &round) {
    if (!rounds || !round.decoded)
        return;
    out.line(json ? round_text(round, *round.decoded) : block_table(round.data_id, *round.decoded));
}

void Terminal::alarm_changed(const AlarmRecord &a) {
    out.line(json ? alarm_document(a) : alarm_text(a));
}

void Terminal::communication_changed(const CommunicationChanged &change) {
    log.line(device_label(change.data_id) +
             (change.lost
                  ? ": communication lost" + (change.cause.empty() ? "" : ": " + change.cause)
                  : ": communication re-established"));
}

void Terminal::value_read(const ValueRead &read) {
    if (!json) {
        out.line(device_label(read.data_id) + ": " + read.name + " = " +
                 (read.value ? value_text(read.name, *read.value, false) : "error: " + read.error));
        return;
    }
    std::string line;
    JsonWriter w(line);
    w.object().key("data_id").number(read.data_id);
    if (!read.value)
        w.key("error").text(read.error);
    w.key("get").text(read.name);
    if (read.value)
        w.key("value").real(static_cast<double>(*read.value));
    w.end();
    out.line(line);
}

// Only a request that reached the line has the driver's figures to show.
void Terminal::request_concluded(const RequestConcluded &r) {
    if (!r.on_line)
        return;
    const std::string outcome = control_outcome_text(r);
    const RequestRecord &q = r.request;
    if (!json) {
        out.line(device_label(q.data_id) + ": " + q.kind + " " + printable(q.request) +
                 ": result " + std::to_string(r.result) + ", status " + std::to_string(r.status) +
                 " (" + outcome + ")");
        return;
    }
    // Keys in alphabetical order: the request's kind ("control" or "set") among them.
    std::string line;
    JsonWriter w(line);
    const bool control = q.kind == "control";
    w.object();
    if (control)
        w.key("control").text(q.request);
    w.key("data_id").number(q.data_id).key("outcome").text(outcome).key("result").number(r.result);
    if (!control)
        w.key("set").text(q.request);
    w.key("status").number(r.status).end();
    out.line(line);
}

void Terminal::line_load_changed(const LineLoad &load) {
    char text[160];
    std::snprintf(text, sizeof text, "line %s: %zu devices need %.2g s per cycle, interval %g s%s",
                  load.line.c_str(), load.devices, load.needed_s, load.interval_s,
                  load.saturated ? "" : ": the line keeps up again");
    log.line(text);
}

void Terminal::plant_changed(const PlantChanged &c) {
    log.line(device_label(c.data_id) + ": " + plant_changed_text(c));
}

void Terminal::history_trouble(const HistoryTrouble &t) {
    log.line(t.failing
                 ? "history: cannot store: " + t.what
                 : "history: storing again (" + std::to_string(t.lost) + " records not stored)");
}

} // namespace host
