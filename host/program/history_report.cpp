#include "host/program/history_report.h"

#include "host/common/catalogue.h"
#include "host/common/clock_text.h"
#include "host/common/plain_text.h"
#include "host/console/table.h"
#include "host/json/documents.h"
#include "host/json/json_writer.h"

namespace host {
namespace {

// A CSV field: quoted when it holds a separator or a quote; control characters (a request's
// line breaks and escapes among them) escaped, so that a stored text cannot forge a line or
// drive the terminal it is listed on.
std::string csv_field(const std::string &raw) {
    const std::string text = printable(raw);
    if (text.find_first_of(",\"") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text)
        out += c == '"' ? "\"\"" : std::string(1, c);
    return out + "\"";
}

void print_blocks(History &history, const Options &o, Output &out, Log &log) {
    if (o.csv)
        out.line(csv_header());
    history.for_each_block(o.history_filter, [&](const StoredBlock &b) {
        const auto *data = reinterpret_cast<const unsigned char *>(b.bytes.data());
        DecodedBlock decoded;
        std::string error;
        if (!decode_block(data, b.bytes.size(), decoded, error)) {
            log.line("row " + std::to_string(b.row) + ": " + error);
            return;
        }
        if (o.csv) {
            out.line(csv_row(b.row, b.time, b.data_id, decoded));
        } else if (o.json) {
            out.line(stored_block_document(b.row, b.time, b.data_id, b.bytes, decoded));
        } else {
            out.line("row " + std::to_string(b.row) + ", stored " + b.time + ": " +
                     block_table(b.data_id, decoded));
        }
    });
}

void print_alarms(History &history, const Options &o, Output &out) {
    if (o.csv)
        out.line("row,time,data_id,signal_id,state,name,text,detail");
    history.for_each_alarm(o.history_filter, [&](const AlarmRecord &a) {
        const std::string state = a.raised ? "raised" : "cleared";
        if (o.csv) {
            out.line(std::to_string(a.row) + "," + iso_local_time(a.time) + "," +
                     std::to_string(a.data_id) + "," + a.signal_id + "," + state + "," +
                     csv_field(catalogue::alarm_name(a.signal_id)) + "," + csv_field(a.text) + "," +
                     csv_field(a.detail));
        } else if (o.json) {
            out.line(alarm_document(a, a.row));
        } else {
            out.line(alarm_text(a));
        }
    });
}

void print_requests(History &history, const Options &o, Output &out) {
    if (o.csv)
        out.line("row,time,data_id,source,kind,request_id,request,outcome,reason");
    history.for_each_request(o.history_filter, [&](const RequestRecord &r) {
        if (o.csv) {
            out.line(std::to_string(r.row) + "," + iso_local_time(r.time) + "," +
                     std::to_string(r.data_id) + "," + csv_field(r.source) + "," + r.kind + "," +
                     csv_field(r.request_id) + "," + csv_field(r.request) + "," + r.outcome + "," +
                     csv_field(r.reason));
        } else if (o.json) {
            std::string line;
            JsonWriter(line)
                .object()
                .key("data_id")
                .number(r.data_id)
                .key("kind")
                .text(r.kind)
                .key("outcome")
                .text(r.outcome)
                .key("reason")
                .text(r.reason)
                .key("request")
                .text(r.request)
                .key("request_id")
                .text(r.request_id)
                .key("row")
                .number(r.row)
                .key("source")
                .text(r.source)
                .key("time")
                .text(iso_local_time(r.time))
                .end();
            out.line(line);
        } else {
            out.line(r.time + " device " + std::to_string(r.data_id) + " " + r.kind + " " +
                     printable(r.request) + " from " + printable(r.source) +
                     (r.request_id.empty() ? "" : " (id " + printable(r.request_id) + ")") + ": " +
                     r.outcome + (r.reason.empty() ? "" : " (" + printable(r.reason) + ")"));
        }
    });
}

} // namespace

int print_history(History &history, const Options &options, Output &out, Log &log) {
    try {
        if (options.alarms)
            print_alarms(history, options, out);
        else if (options.requests)
            print_requests(history, options, out);
        else
            print_blocks(history, options, out, log);
    } catch (const HistoryError &e) {
        log.line(std::string("history: ") + e.what());
        return 1;
    }
    return 0;
}

} // namespace host
