#include "host/mqtt/request_intake.h"

#include "host/common/clock_text.h"
#include "host/common/plain_text.h"
#include "host/core/named_requests.h"
#include "host/core/request_form.h"
#include "host/json/json_writer.h"

#include <json/reader.h>

#include <algorithm>
#include <memory>

namespace host {
namespace {

constexpr size_t kLongestRequestId = 64;

const char *const kSetForm = "{\"id\": ID, \"signal_id\": \"ID\" or a parameter name, "
                             "\"SetValue\": NUMBER, \"force\": true to confirm}";
const char *const kControlForm =
    "{\"id\": ID, \"request\": \"419500200002\" or a name (\"module-off:2\"), \"all_modules\": "
    "true to confirm every module, \"force\": true a module the power system does not have}";

// What the reader takes although JSON does not: a comment (a '/' outside every string; its
// strict mode still steps over comments between an object's members) or a control character
// inside a string, which JSON wants escaped.
bool beyond_json(const std::string &payload) {
    bool in_string = false;
    for (size_t i = 0; i < payload.size(); ++i) {
        const auto c = static_cast<unsigned char>(payload[i]);
        if (in_string && c == '\\')
            ++i;
        else if (c == '"')
            in_string = !in_string;
        else if (in_string ? c < 0x20 : c == '/')
            return true;
    }
    return false;
}

// Strict: one object, no comments, no trailing bytes, no repeated keys, not deep.
bool parse_request(const std::string &payload, Json::Value &out) {
    if (beyond_json(payload))
        return false;
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = 8;
    try {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        return reader->parse(payload.data(), payload.data() + payload.size(), &out, nullptr);
    } catch (const std::exception &) {
        return false;
    }
}

bool only_keys(const Json::Value &v, std::initializer_list<const char *> keys) {
    for (const auto &name : v.getMemberNames())
        if (std::none_of(keys.begin(), keys.end(), [&](const char *k) { return name == k; }))
            return false;
    return true;
}

// A text id is shown in listings and echoed in the result: UTF-8 without control characters.
bool good_request_id(const Json::Value &id) {
    return (id.isString() && !id.asString().empty() && id.asString().size() <= kLongestRequestId &&
            plain_text(id.asString())) ||
           (id.isIntegral() && !id.isBool());
}

// The id of a request refused before it is read in full, so that its result still says which
// request it answers; null when there is none to be had.
Json::Value request_id_of(const std::string &payload) {
    Json::Value v;
    if (payload.size() > kLargestRequestPayload || !parse_request(payload, v) || !v.isObject() ||
        !good_request_id(v["id"]))
        return Json::Value();
    return v["id"];
}

// An id as the history keeps it: a text as it is, a whole number in digits.
std::string id_text(const Json::Value &id) {
    if (id.isString())
        return id.asString();
    if (id.isUInt64())
        return std::to_string(id.asUInt64());
    return id.isInt64() ? std::to_string(id.asInt64()) : "";
}

// An id as the result echoes it: a text, a whole number or null, as it came.
void write_id(JsonWriter &w, const Json::Value &id) {
    if (id.isString())
        w.text(id.asString());
    else if (id.isUInt64())
        w.number(id.asUInt64());
    else if (id.isInt64())
        w.number(id.asInt64());
    else
        w.null();
}

} // namespace

RequestIntake::RequestIntake(RequestDesk &desk, PublishResult publish)
    : desk(desk), publish(std::move(publish)) {}

// Nothing reaches the driver that is not exactly the form it takes: the payload is refused
// unread when too long, and refused when malformed, with its outcome published either way.
void RequestIntake::take(uint32_t data_id, bool set, const std::string &payload, bool retained) {
    // An empty payload is how a retained message is cleared from the broker, not a request.
    if (payload.empty())
        return;
    // A retained request handed over at subscription was published before the host listened,
    // and would be carried out again on every connection, long after it was meant. (One
    // published while the host listens arrives without the flag: the broker clears it for
    // subscribers already there.)
    if (retained)
        return refuse(data_id, set, request_id_of(payload),
                      payload.substr(0, kLargestRequestPayload),
                      "a retained request is not carried out");
    if (payload.size() > kLargestRequestPayload)
        return refuse(data_id, set, Json::Value(), "(" + std::to_string(payload.size()) + " bytes)",
                      "payload of " + std::to_string(payload.size()) + " bytes, more than " +
                          std::to_string(kLargestRequestPayload));
    Json::Value v;
    if (!parse_request(payload, v))
        return refuse(data_id, set, Json::Value(), payload, "malformed JSON");
    if (!v.isObject())
        return refuse(data_id, set, Json::Value(), payload, "expected a JSON object");
    // A hub's button sends the same payload at every press: a request without an id gets one
    // of its own, so that no two requests, and no two results, share one.
    const Json::Value id = v.isMember("id") ? v["id"] : Json::Value(own_id());
    if (!good_request_id(id))
        return refuse(data_id, set, Json::Value(), payload,
                      "expected an \"id\": a text of 1 to 64 characters (UTF-8, no control "
                      "characters) or a whole number");
    // A confirmation is true or false; absent, the request is not confirmed.
    // Read without adding them: an absent key must stay absent for the check of the keys below.
    const Json::Value all_modules = v.get("all_modules", Json::Value()),
                      force = v.get("force", Json::Value());
    if ((!all_modules.isNull() && !all_modules.isBool()) || (!force.isNull() && !force.isBool()))
        return refuse(data_id, set, id, payload,
                      std::string("expected ") + (set ? kSetForm : kControlForm));
    const Confirmations confirmed = mqtt_confirmations(all_modules.asBool(), force.asBool());
    const bool known_keys = set ? only_keys(v, {"id", "signal_id", "SetValue", "force"})
                                : only_keys(v, {"id", "request", "all_modules", "force"});
    const CheckedRequest checked = !known_keys ? CheckedRequest{}
                                   : set       ? check_set(v["signal_id"], v["SetValue"], confirmed)
                                   : v["request"].isString()
                                       ? check_control(v["request"].asString(), confirmed)
                                       : CheckedRequest{};
    if (checked.verdict == CheckedRequest::Malformed)
        return refuse(data_id, set, id, payload,
                      std::string("expected ") + (set ? kSetForm : kControlForm));
    if (checked.verdict == CheckedRequest::Refused)
        return refuse(data_id, set, id, checked.raw, checked.reason);
    const std::string text = checked.raw;
    RemoteRequest request;
    request.set = set;
    request.text = text;
    request.source = "mqtt";
    request.request_id = id_text(id);
    request.force = confirmed.force;
    request.force_hint = confirmed.force_hint;
    request.done = [this, data_id, set, id, text](const RequestOutcome &outcome) {
        answer(data_id, set, id, text, outcome);
    };
    desk.submit(data_id, std::move(request));
}

// "host-2026-12-08T21:46:50.857Z-7": the time tells runs apart, the count requests within one.
std::string RequestIntake::own_id() {
    return "host-" + utc_time_text() + "-" + std::to_string(++ids_given);
}

void RequestIntake::refuse(uint32_t data_id, bool set, const Json::Value &request_id,
                           const std::string &request, const std::string &reason) {
    RemoteRequest unread;
    unread.set = set;
    unread.text = request.substr(0, kLargestRequestPayload);
    unread.source = "mqtt";
    unread.request_id = id_text(request_id);
    unread.done = [&](const RequestOutcome &outcome) {
        answer(data_id, set, request_id, request, outcome);
    };
    desk.conclude(data_id, unread, {"refused", reason});
}

void RequestIntake::answer(uint32_t data_id, bool set, const Json::Value &request_id,
                           const std::string &request, const RequestOutcome &outcome) {
    std::string payload;
    JsonWriter w(payload);
    w.object().key("data_id").number(data_id).key("id");
    write_id(w, request_id);
    w.key("kind").text(set ? "set" : "control").key("outcome").text(outcome.outcome);
    if (!outcome.reason.empty())
        w.key("reason").text(outcome.reason);
    w.key("request").text(request.substr(0, kLargestRequestPayload));
    w.key("time").text(utc_time_text()).end();
    publish(data_id, payload);
}

} // namespace host
