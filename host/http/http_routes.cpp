#include "host/http/http_routes.h"

#include "host/block/block_fields.h"
#include "host/common/device_config.h"
#include "host/http/live_page.h"
#include "host/stores/history_time.h"

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

HttpResponse json_answer(std::string document, unsigned status = 200) {
    document.push_back('\n');
    return {status, kJson, std::move(document)};
}

HttpResponse refusal(unsigned status, const std::string &why) {
    std::string out;
    JsonWriter(out).object().key("error").text(why).end();
    return json_answer(std::move(out), status);
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
void write_readings(JsonWriter &w, const DeviceState &d) {
    w.array();
    if (d.block)
        for (size_t f = 0; f < kBlockFieldCount; ++f) {
            const BlockField &field = kBlockFields[f];
            if (*field.unit == '\0')
                continue;
            for (size_t i = 0; i < field.how_many(*d.block); ++i) {
                w.object().key("name").text(indexed(field) ? field_name(field, i + 1) : field.name);
                w.key("title").text(field.title).key("unit").text(field.unit);
                w.key("value").real(field.read(*d.block, i)).end();
            }
        }
    w.end();
}

void write_device_summary(JsonWriter &w, const DeviceState &d) {
    w.object().key("alarms").raw(alarms_document(d.data_id, d.alarms));
    w.key("cause").text(d.cause).key("communication").text(link_text(d.link));
    w.key("data_id").number(d.data_id);
    // JSON keeps 7 digits of a real: the time goes as whole milliseconds.
    w.key("last_round_ms").number(static_cast<long long>(d.last_round * 1000));
    w.key("name");
    if (d.name.empty())
        w.null();
    else
        w.text(d.name);
    w.key("readings");
    write_readings(w, d);
    w.key("state");
    if (d.document)
        w.raw(d.document->text());
    else
        w.null();
    w.end();
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
    std::string out;
    JsonWriter w(out);
    w.object().key("devices").array();
    for (const DeviceState &d : s.site.devices())
        write_device_summary(w, d);
    w.end().key("refresh_s").real(s.refresh_s).end();
    return json_answer(std::move(out));
}

HttpResponse alarms(const HttpSources &s, const Query &q) {
    HttpResponse refused;
    if (const DeviceState *d = asked_device(s, q, refused))
        return json_answer(alarms_document(d->data_id, d->alarms));
    if (refused.status != 200)
        return refused;
    std::string out;
    JsonWriter w(out);
    w.array();
    for (const DeviceState &d : s.site.devices())
        w.raw(alarms_document(d.data_id, d.alarms));
    w.end();
    return json_answer(std::move(out));
}

// The stored blocks a pinned selection holds, as a JSON array written a page at a time: the
// pages are read as the client takes the answer, so that neither the answer nor the rows are
// ever held whole.
class HistoryPieces {
public:
    HistoryPieces(History &history, HistoryFilter pinned)
        : history(history), pinned(std::move(pinned)), writer(buffer) {}

    bool next(std::string &piece) {
        if (!started) {
            writer.array();
            started = true;
        }
        const auto page = history.block_page(pinned, kHistoryPageRows);
        for (const StoredBlock &b : page) {
            const auto *data = reinterpret_cast<const unsigned char *>(b.bytes.data());
            DecodedBlock decoded;
            std::string error;
            if (decode_block(data, b.bytes.size(), decoded, error))
                writer.raw(stored_block_document(b.row, b.time, b.data_id, b.bytes, decoded));
            pinned.after_row = b.row;
        }
        const bool more = page.size() == kHistoryPageRows;
        if (!more)
            writer.end();
        piece += buffer;
        if (!more)
            piece += '\n';
        buffer.clear();
        return more;
    }

private:
    History &history;
    HistoryFilter pinned;
    std::string buffer;
    JsonWriter writer;
    bool started = false;
};

// The selection's newest rows, at most kLargestHistoryAnswer of them, oldest first; the
// headers tell the cap and, when older rows are left out, the `before` that asks for them.
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
    } catch (const ConfigError &e) {
        return refusal(400, e.what());
    }
    if (q.count("last")) {
        const auto last = whole_number(q.at("last"));
        if (!last || *last == 0)
            return refusal(400, "last: expected a whole number from 1");
        filter.last =
            static_cast<unsigned>(std::min<unsigned long long>(kLargestHistoryAnswer, *last));
    }
    if (q.count("before")) {
        const auto before = whole_number(q.at("before"));
        if (!before || *before > static_cast<unsigned long long>(INT64_MAX))
            return refusal(400, "before: expected a row number");
        filter.before_row = static_cast<int64_t>(*before);
    }
    HttpResponse refused;
    if (const DeviceState *d = asked_device(s, q, refused))
        filter.data_id = d->data_id;
    else if (refused.status != 200)
        return refused;
    HttpResponse answer{200, kJson, ""};
    const HistoryFilter pinned = s.history->pinned_blocks(filter);
    answer.headers.emplace_back("X-History-Limit", std::to_string(kLargestHistoryAnswer));
    if (const auto older = s.history->older_than_pinned(filter, pinned))
        answer.headers.emplace_back("X-History-Before", std::to_string(*older));
    auto pieces = std::make_shared<HistoryPieces>(*s.history, pinned);
    answer.pieces = [pieces](std::string &piece) { return pieces->next(piece); };
    return answer;
}

// Whether an alarm was active in any of the points one plotted point stands for.
bool alarm_among(const std::deque<PlotPoint> &points, size_t from, size_t count) {
    const auto first = points.begin() + static_cast<std::ptrdiff_t>(from);
    const auto last =
        points.begin() + static_cast<std::ptrdiff_t>(std::min(from + count, points.size()));
    return std::any_of(first, last, [](const PlotPoint &p) { return p.alarm; });
}

// Every point while they are few; past kPlotPoints, evenly spaced ones and always the newest,
// each flagged with an alarm when one was active in a round it stands for.
HttpResponse plot(const HttpSources &s, const Query &q) {
    HttpResponse refused;
    const DeviceState *d = asked_device(s, q, refused);
    if (!d)
        return refused.status != 200 ? refused : refusal(400, "expected ?device=ID");
    std::string out;
    JsonWriter w(out);
    w.object().key("data_id").number(d->data_id).key("points").array();
    const size_t n = d->recent.size();
    const size_t step = n > kPlotPoints ? (n + kPlotPoints - 1) / kPlotPoints : 1;
    for (size_t i = 0; i < n; i += step) {
        const size_t at = i + step >= n ? n - 1 : i;
        w.array().number(static_cast<long long>(d->recent[at].time * 1000));
        w.real(d->recent[at].dc_voltage).real(d->recent[at].load_current);
        w.number(alarm_among(d->recent, i, step) ? 1 : 0).end();
    }
    w.end().end();
    return json_answer(std::move(out));
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
