#include "host/program/history_report.h"

#include "host/common/catalogue.h"
#include "host/common/clock_text.h"
#include "host/common/plain_text.h"
#include "host/outputs/block_view.h"
#include "host/outputs/compact_json.h"

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
            std::string row, stored;
            append_integer(row, b.row);
            append_json_string(stored, iso_local_time(b.time));
            out.line(block_document(b.data_id, decoded, data, b.bytes.size(),
                                    {{"row", row}, {"stored", stored}}));
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
            Json::Value line = alarm_json(a);
            line["row"] = static_cast<Json::Int64>(a.row);
            out.line(json_line(line));
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
            Json::Value line;
            line["row"] = static_cast<Json::Int64>(r.row);
            line["time"] = iso_local_time(r.time);
            line["data_id"] = r.data_id;
            line["source"] = r.source;
            line["kind"] = r.kind;
            line["request_id"] = r.request_id;
            line["request"] = r.request;
            line["outcome"] = r.outcome;
            line["reason"] = r.reason;
            out.line(json_line(line));
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
