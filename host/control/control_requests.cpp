#include "host/control/control_requests.h"

#include "host/block/block_fields.h"
#include "host/common/catalogue.h"
#include "host/common/clock_text.h"
#include "host/core/named_requests.h"
#include "host/json/json_writer.h"

#include <json/reader.h>

#include <cmath>
#include <ctime>
#include <memory>

namespace host {
namespace {

bool parse(const std::string &line, Json::Value &out) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = 8;
    try {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        return reader->parse(line.data(), line.data() + line.size(), &out, nullptr) &&
               out.isObject();
    } catch (const std::exception &) {
        return false;
    }
}

std::string error_answer(const std::string &why) {
    std::string out;
    JsonWriter(out).object().key("error").text(why).end();
    return out;
}

const char *link_text(DeviceState::Link link) {
    static const char *const kTexts[] = {"waiting", "up", "lost"};
    return kTexts[static_cast<int>(link)];
}

std::string outcome_answer(const RequestOutcome &outcome) {
    std::string out;
    JsonWriter w(out);
    w.object().key("outcome").text(outcome.outcome);
    if (!outcome.reason.empty())
        w.key("reason").text(outcome.reason);
    w.end();
    return out;
}

// A document the HTTP side writes in pieces, as one line: its JSON as "document" (not as a text
// in "body"), written as it comes.
std::string document_start(const HttpResponse &page) {
    std::string start;
    JsonWriter(start).object().key("content_type").text(page.content_type);
    return start + ",\"document\":";
}

BodyPieces document_pieces(const HttpResponse &page) {
    const std::string end = ",\"status\":" + std::to_string(page.status) + "}";
    return [inner = page.pieces, end](std::string &piece) {
        const bool more = inner(piece);
        if (!more) {
            while (!piece.empty() && piece.back() == '\n')
                piece.pop_back();
            piece += end;
        }
        return more;
    };
}

} // namespace

ControlRequests::ControlRequests(Host &host, const SiteState &site, HttpSources sources,
                                 std::vector<DeviceConfig> devices,
                                 std::function<std::string()> listing)
    : host(host), site(site), sources(std::move(sources)), devices(std::move(devices)),
      listing(std::move(listing)) {}

const DeviceConfig *ControlRequests::config(uint32_t data_id) const {
    for (const DeviceConfig &d : devices)
        if (d.data_id == data_id)
            return &d;
    return nullptr;
}

void ControlRequests::handle(const std::string &line, const Asker &asker,
                             const ControlServer::Answer &answer) {
    Json::Value r;
    if (!parse(line, r) || !r["request"].isString())
        return answer(error_answer("expected one JSON object with \"request\""));
    const std::string kind = r["request"].asString();
    if (kind == "status")
        return answer(status());
    if (kind == "list")
        return answer(listing());
    if (kind == "document") {
        std::map<std::string, std::string> query;
        for (const auto &key : r["query"].getMemberNames())
            if (r["query"][key].isString())
                query[key] = r["query"][key].asString();
        const HttpResponse page = http_route(sources, r["path"].asString(), query);
        if (page.pieces)
            return answer.in_pieces(document_start(page), document_pieces(page));
        std::string out;
        JsonWriter(out)
            .object()
            .key("body")
            .text(page.body)
            .key("content_type")
            .text(page.content_type)
            .key("status")
            .number(page.status)
            .end();
        return answer(out);
    }
    if (!r["data_id"].isUInt() || !config(r["data_id"].asUInt()))
        return answer(error_answer("expected the \"data_id\" of a device this host polls"));
    const uint32_t data_id = r["data_id"].asUInt();
    if (kind == "get" && r["name"].isString())
        return answer(value(data_id, r["name"].asString()));
    if ((kind == "set" || kind == "control") && r["text"].isString())
        return request(kind == "set", data_id, r["text"].asString(),
                       command_line_confirmations(r["all_modules"].asBool(), r["force"].asBool()),
                       asker, answer);
    answer(error_answer("unknown request \"" + kind + "\" or its fields"));
}

// Every device: its name, port, communication, last round and the alarms active now.
std::string ControlRequests::status() const {
    std::string out;
    JsonWriter w(out);
    w.object().key("devices").array();
    for (const DeviceConfig &d : devices) {
        const DeviceState *s = site.device(d.data_id);
        w.object().key("alarms").array();
        if (s)
            for (const auto &[id, active] : s->alarms)
                w.object()
                    .key("name")
                    .text(catalogue::alarm_name(id))
                    .key("signal_id")
                    .text(id)
                    .key("since")
                    .text(active.since)
                    .end();
        const unsigned address =
            d.settings["address"].isUInt() ? d.settings["address"].asUInt() : 1;
        w.end().key("address").number(address);
        w.key("communication").text(s ? link_text(s->link) : "waiting");
        w.key("data_id").number(d.data_id).key("last_round");
        if (s && s->last_round > 0)
            w.text(iso_utc_time(s->last_round));
        else
            w.null();
        w.key("name").text(d.name).key("port").text(d.port).end();
    }
    w.end().key("pid").number(static_cast<long long>(::getpid()));
    w.key("version").text(sources.version).end();
    return out;
}

// A block field from the newest block while it is fresh (within three intervals); a value of
// the driver's from the driver, which holds its own freshness.
std::string ControlRequests::value(uint32_t data_id, const std::string &name) const {
    std::string out;
    JsonWriter w(out);
    w.object().key("data_id").number(data_id);
    const auto fail = [&](const std::string &why) {
        w.key("error").text(why).key("get").text(name).end();
        return out;
    };
    // A setting the block does not hold is no value the driver answers either.
    if (!setpoint_not_kept(name).empty())
        return fail(setpoint_not_kept(name));
    const DeviceState *s = site.device(data_id);
    double v = 0.0;
    if (is_block_field(name)) {
        if (!s || s->link == DeviceState::Link::Lost)
            return fail("no communication with the device");
        const double age = epoch_seconds() - s->last_round;
        if (!s->block || age > 3 * config(data_id)->interval)
            return fail(s->block
                            ? "the newest block is " + std::to_string(std::lround(age)) + " s old"
                            : "no round completed yet");
        std::string why;
        if (read_block_field(name, &*s->block, v, why) != BlockValue::Read)
            return fail(why);
    } else {
        const Channel *channel = nullptr;
        for (const auto &c : host.channels())
            if (c->data_id() == data_id)
                channel = c.get();
        try {
            v = channel->driven().Get_Value(0, name);
        } catch (const std::exception &e) {
            return fail(e.what());
        }
    }
    w.key("get").text(name).key("value").real(static_cast<float>(v)).end();
    return out;
}

// Checked as on the command line, then queued for the device's next turn on the line.
void ControlRequests::request(bool set, uint32_t data_id, const std::string &text,
                              const Confirmations &confirmations, const Asker &asker,
                              const ControlServer::Answer &answer) {
    const CheckedRequest checked =
        set ? check_set(text, confirmations) : check_control(text, confirmations);
    RemoteRequest r;
    r.set = set;
    r.text = checked.verdict == CheckedRequest::Accepted ? checked.raw : text;
    r.source = "socket (uid " + std::to_string(asker.uid) + ")";
    r.force = confirmations.force;
    r.done = [answer](const RequestOutcome &outcome) { answer(outcome_answer(outcome)); };
    if (checked.verdict != CheckedRequest::Accepted)
        return host.conclude(data_id, r, {"refused", checked.reason});
    host.submit(data_id, std::move(r));
}

} // namespace host
