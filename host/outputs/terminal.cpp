#include "host/outputs/terminal.h"

#include "host/common/plain_text.h"
#include "host/outputs/block_view.h"

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

void Terminal::round_completed(const RoundCompleted &round) {
    if (!rounds)
        return;
    DecodedBlock decoded;
    std::string error;
    if (!decode_block(round.block, round.length, decoded, error)) {
        log.limited("block:" + std::to_string(round.data_id),
                    device_label(round.data_id) + ": unreadable block: " + error);
        return;
    }
    out.line(json ? round_text(round, decoded) : block_table(round.data_id, decoded));
}

void Terminal::alarm_changed(const AlarmRecord &a) {
    out.line(json ? json_line(alarm_json(a)) : alarm_text(a));
}

void Terminal::communication_changed(const CommunicationChanged &change) {
    log.line(device_label(change.data_id) +
             (change.lost
                  ? ": communication lost" + (change.cause.empty() ? "" : ": " + change.cause)
                  : ": communication re-established"));
}

void Terminal::value_read(const ValueRead &read) {
    if (!json) {
        char number[32];
        if (read.value)
            std::snprintf(number, sizeof number, "%.7g", static_cast<double>(*read.value));
        out.line(device_label(read.data_id) + ": " + read.name + " = " +
                 (read.value ? std::string(number) : "error: " + read.error));
        return;
    }
    Json::Value line;
    line["get"] = read.name;
    line["data_id"] = read.data_id;
    if (read.value)
        line["value"] = static_cast<double>(*read.value);
    else
        line["error"] = read.error;
    out.line(json_line(line));
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
    Json::Value line;
    line[q.kind] = q.request;
    line["data_id"] = q.data_id;
    line["result"] = r.result;
    line["status"] = r.status;
    line["outcome"] = outcome;
    out.line(json_line(line));
}

void Terminal::line_load_changed(const LineLoad &load) {
    char text[160];
    std::snprintf(text, sizeof text, "line %s: %zu devices need %.2g s per cycle, interval %g s%s",
                  load.line.c_str(), load.devices, load.needed_s, load.interval_s,
                  load.saturated ? "" : ": the line keeps up again");
    log.line(text);
}

void Terminal::history_trouble(const HistoryTrouble &t) {
    log.line(t.failing
                 ? "history: cannot store: " + t.what
                 : "history: storing again (" + std::to_string(t.lost) + " records not stored)");
}

} // namespace host
