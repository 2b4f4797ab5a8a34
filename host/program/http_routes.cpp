#include "host/program/http_routes.h"

#include "host/common/device_config.h"
#include "host/outputs/block_fields.h"
#include "host/outputs/live_page.h"
#include "host/program/history_time.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <optional>

namespace host {
namespace {

using Query = std::map<std::string, std::string>;

const char *const kJson = "application/json";

HttpResponse json_answer(const Json::Value &value, unsigned status = 200) {
    return {status, kJson, json_line(value) + "\n"};
}

HttpResponse refusal(unsigned status, const std::string &why) {
    Json::Value error;
    error["error"] = why;
    return json_answer(error, status);
}

// A query's whole number: decimal digits only, no sign, no exponent, no trailing text.
std::optional<unsigned long long> whole_number(const std::string &text) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoull(text);
}

// "?device=ID", when given: the device, or a refusal (400 for what is no number, 404 for a
// number that names no device, those past the identifiers' range included).
const DeviceState *asked_device(const HttpSources &s, const Query &q, HttpResponse &refused) {
    const auto given = q.find("device");
    if (given == q.end())
        return nullptr;
    const std::string &text = given->second;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        refused = refusal(400, "device: expected a whole number");
        return nullptr;
    }
    const auto number = whole_number(text); // none: more digits than any identifier has
    const DeviceState *d =
        number && *number <= UINT32_MAX ? s.site.device(static_cast<uint32_t>(*number)) : nullptr;
    if (!d)
        refused = refusal(404, "device=" + text + ": no such device");
    return d;
}

const char *link_text(DeviceState::Link link) {
    static const char *const kTexts[] = {"waiting", "up", "lost"};
    return kTexts[static_cast<int>(link)];
}

// The readings that have a unit, by the names --get takes.
Json::Value readings(const DeviceState &d) {
    Json::Value list(Json::arrayValue);
    if (!d.block)
        return list;
    for (size_t f = 0; f < kBlockFieldCount; ++f) {
        const BlockField &field = kBlockFields[f];
        if (*field.unit == '\0')
            continue;
        for (size_t i = 0; i < field.how_many(*d.block); ++i) {
            Json::Value r;
            r["name"] = indexed(field) ? field_name(field, i + 1) : field.name;
            r["title"] = field.title;
            r["unit"] = field.unit;
            r["value"] = field.read(*d.block, i);
            list.append(r);
        }
    }
    return list;
}

Json::Value device_summary(const DeviceState &d) {
    Json::Value v;
    v["data_id"] = d.data_id;
    v["communication"] = link_text(d.link);
    v["cause"] = d.cause;
    v["last_round_ms"] = static_cast<Json::Int64>(d.last_round * 1000); // JSON keeps 7 digits
    v["readings"] = readings(d);
    v["state"] = d.document ? d.document->value() : Json::Value();
    v["alarms"] = alarms_document(d.data_id, d.alarms);
    return v;
}

HttpResponse page(const HttpSources &, const Query &) {
    return {200, kLivePageType, kLivePage};
}

HttpResponse metrics(const HttpSources &s, const Query &) {
    return {200, kMetricsContentType,
            metrics_text(s.site, s.version, s.mqtt ? s.mqtt() : std::nullopt)};
}

HttpResponse state(const HttpSources &s, const Query &q) {
    HttpResponse refused;
    if (const DeviceState *d = asked_device(s, q, refused))
        return d->document ? HttpResponse{200, kJson, d->document->text() + "\n"}
                           : refusal(404, "no round completed yet");
    if (refused.status != 200)
        return refused;
    Json::Value all;
    all["refresh_s"] = s.refresh_s;
    all["devices"] = Json::Value(Json::arrayValue);
    for (const DeviceState &d : s.site.devices())
        all["devices"].append(device_summary(d));
    return json_answer(all);
}

HttpResponse alarms(const HttpSources &s, const Query &q) {
    HttpResponse refused;
    if (const DeviceState *d = asked_device(s, q, refused))
        return json_answer(alarms_document(d->data_id, d->alarms));
    if (refused.status != 200)
        return refused;
    Json::Value all(Json::arrayValue);
    for (const DeviceState &d : s.site.devices())
        all.append(alarms_document(d.data_id, d.alarms));
    return json_answer(all);
}

HttpResponse history(const HttpSources &s, const Query &q) {
    if (!s.history)
        return refusal(404, "the host keeps no history (--history FILE)");
    HistoryFilter filter;
    filter.last = kLargestHistoryAnswer;
    try {
        const std::time_t now = std::time(nullptr);
        if (q.count("since"))
            filter.since = history_time(q.at("since"), "since", now);
        if (q.count("until"))
            filter.until = history_time(q.at("until"), "until", now);
        if (q.count("last")) {
            const auto last = whole_number(q.at("last"));
            if (!last || *last == 0)
                return refusal(400, "last: expected a whole number from 1");
            filter.last =
                static_cast<unsigned>(std::min<unsigned long long>(kLargestHistoryAnswer, *last));
        }
    } catch (const ConfigError &e) {
        return refusal(400, e.what());
    }
    HttpResponse refused;
    if (const DeviceState *d = asked_device(s, q, refused))
        filter.data_id = d->data_id;
    else if (refused.status != 200)
        return refused;
    Json::Value rows(Json::arrayValue);
    s.history->for_each_block(filter, [&](const StoredBlock &b) {
        const auto *data = reinterpret_cast<const unsigned char *>(b.bytes.data());
        DecodedBlock decoded;
        std::string error;
        if (!decode_block(data, b.bytes.size(), decoded, error))
            return;
        Json::Value row = block_json(b.data_id, decoded, data, b.bytes.size());
        row["row"] = static_cast<Json::Int64>(b.row);
        row["stored"] = iso_local_time(b.time);
        rows.append(row);
    });
    return json_answer(rows);
}

// Every point while they are few; past kPlotPoints, evenly spaced ones and always the newest.
HttpResponse plot(const HttpSources &s, const Query &q) {
    HttpResponse refused;
    const DeviceState *d = asked_device(s, q, refused);
    if (!d)
        return refused.status != 200 ? refused : refusal(400, "expected ?device=ID");
    Json::Value out;
    out["data_id"] = d->data_id;
    out["points"] = Json::Value(Json::arrayValue);
    const size_t n = d->recent.size();
    const size_t step = n > kPlotPoints ? (n + kPlotPoints - 1) / kPlotPoints : 1;
    for (size_t i = 0; i < n; i += step) {
        const size_t at = i + step >= n ? n - 1 : i;
        Json::Value p(Json::arrayValue);
        p.append(static_cast<Json::Int64>(d->recent[at].time * 1000));
        p.append(d->recent[at].dc_voltage);
        p.append(d->recent[at].load_current);
        out["points"].append(p);
    }
    return json_answer(out);
}

struct Route {
    const char *path;
    HttpResponse (*answer)(const HttpSources &, const Query &);
};

const Route kRoutes[] = {
    {"/", page},
    {"/metrics", metrics},
    {"/api/state", state},
    {"/api/alarms", alarms},
    {"/api/history", history},
    {"/api/plot", plot},
};

// "YYYY-MM-DD HH:MM:SS", local time, in seconds since the epoch; 0 when it is no such time.
double local_epoch(const std::string &text) {
    std::tm tm{};
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
        return 0.0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? 0.0 : static_cast<double>(t);
}

} // namespace

HttpResponse http_route(const HttpSources &sources, const std::string &path, const Query &query) {
    for (const Route &r : kRoutes)
        if (path == r.path)
            return r.answer(sources, query);
    return {404, "text/plain; charset=utf-8", "not found\n"};
}

void recall_recent_rounds(SiteState &site, History &history) {
    HistoryFilter filter;
    filter.since = history_time(std::to_string(static_cast<long>(SiteState::kRecentSpan)) + "s",
                                "since", std::time(nullptr));
    history.for_each_block(filter, [&](const StoredBlock &b) {
        DecodedBlock decoded;
        std::string error;
        const auto *data = reinterpret_cast<const unsigned char *>(b.bytes.data());
        if (decode_block(data, b.bytes.size(), decoded, error))
            site.recall(b.data_id,
                        {local_epoch(b.time), decoded.dc.voltage, decoded.dc.load_current});
    });
}

} // namespace host
