#include "host/outputs/mqtt_publisher.h"
#include "host/core/named_requests.h"
#include "host/core/request_form.h"

#include "host/common/catalogue.h"
#include "host/common/device_config.h"
#include "host/outputs/block_view.h"
#include "host/outputs/documents.h"

#include <json/reader.h>
#include <json/writer.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

namespace host {
namespace {

constexpr size_t kLongestRequestId = 64;

const char *const kSetForm = "{\"id\": ID, \"signal_id\": \"ID\" or a parameter name, "
                             "\"SetValue\": NUMBER, \"force\": true to confirm}";
const char *const kControlForm = "{\"id\": ID, \"request\": \"419500200002\" or a name "
                                 "(\"module-off:2\"), \"all_modules\": true to confirm}";

// Strict: one object, no comments, no trailing bytes, no repeated keys, not deep.
bool parse_request(const std::string &payload, Json::Value &out) {
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

// The request as the driver takes it, numbers in full precision.
std::string request_text(const Json::Value &value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["precision"] = 17;
    return Json::writeString(builder, value);
}

bool only_keys(const Json::Value &v, std::initializer_list<const char *> keys) {
    for (const auto &name : v.getMemberNames())
        if (std::none_of(keys.begin(), keys.end(), [&](const char *k) { return name == k; }))
            return false;
    return true;
}

bool good_request_id(const Json::Value &id) {
    return (id.isString() && !id.asString().empty() && id.asString().size() <= kLongestRequestId) ||
           (id.isIntegral() && !id.isBool());
}

std::string id_text(const Json::Value &id) {
    if (id.isString())
        return id.asString();
    return id.isNull() ? "" : request_text(id);
}

std::string read_password(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        throw ConfigError("--mqtt-password-file: cannot read " + path);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

std::string default_mqtt_prefix() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "mpx23/host";
    std::string host_name = name;
    // A host name never holds these, but a topic level must not.
    for (char &c : host_name)
        if (c == '/' || c == '+' || c == '#')
            c = '_';
    return "mpx23/" + host_name;
}

MqttLogin mqtt_login(const MqttOptions &o, const std::string &prefix) {
    MqttLogin login;
    login.client_id = o.client_id;
    if (login.client_id.empty()) {
        login.client_id = prefix;
        std::replace(login.client_id.begin(), login.client_id.end(), '/', '-');
    }
    login.user = o.user;
    if (!o.password_file.empty())
        login.password = read_password(o.password_file);
    login.ca_file = o.ca_file;
    login.will_topic = prefix + "/status";
    login.will_payload = "offline";
    return login;
}

MqttPublisher::MqttPublisher(boost::asio::io_context &io, Log &log, RequestDesk &desk,
                             Outbox &backlog, const MqttOptions &o, std::vector<uint32_t> data_ids)
    : log(log), desk(desk), backlog(backlog), options(o),
      topic_prefix(o.prefix.empty() ? default_mqtt_prefix() : o.prefix),
      devices(std::move(data_ids)) {
    connection = std::make_unique<MqttConnection>(io, log, parse_mqtt_url(o.url),
                                                  mqtt_login(o, topic_prefix), *this);
}

MqttPublisher::~MqttPublisher() = default;

void MqttPublisher::start() {
    connection->start();
}

void MqttPublisher::stop() {
    connection->stop(topic_prefix + "/status", "offline");
}

bool MqttPublisher::connected() const {
    return connection->connected();
}

std::string MqttPublisher::topic(uint32_t data_id, const char *leaf) const {
    return topic_prefix + "/" + std::to_string(data_id) + "/" + leaf;
}

// ---- what the host tells ------------------------------------------------------------------

// An unreadable block is told by the terminal; the retained state stays the last good one.
void MqttPublisher::round_completed(const RoundCompleted &round) {
    DecodedBlock decoded;
    std::string error;
    if (!decode_block(round.block, round.length, decoded, error))
        return;
    states[round.data_id] = json_line(state_document(round, decoded));
    publish_state(round.data_id);
}

void MqttPublisher::alarm_changed(const AlarmRecord &alarm) {
    const std::string now = utc_time_text();
    auto &set = active[alarm.data_id];
    if (alarm.raised)
        set[alarm.signal_id] = {alarm.text, alarm.detail, now};
    else
        set.erase(alarm.signal_id);
    publish_alarms(alarm.data_id);
    Json::Value event;
    event["event"] = "alarm";
    event["state"] = alarm.raised ? "raised" : "cleared";
    event["time"] = now;
    event["signal_id"] = alarm.signal_id;
    event["name"] = catalogue::alarm_name(alarm.signal_id);
    event["text"] = alarm.text;
    event["detail"] = alarm.detail;
    queue_event(alarm.data_id, event);
}

void MqttPublisher::communication_changed(const CommunicationChanged &change) {
    Json::Value event;
    event["event"] = "communication";
    event["state"] = change.lost ? "lost" : "re-established";
    event["time"] = utc_time_text();
    queue_event(change.data_id, event);
}

void MqttPublisher::publish_state(uint32_t data_id) {
    auto found = states.find(data_id);
    if (found != states.end())
        connection->publish(topic(data_id, "state"), found->second, 0, true);
}

void MqttPublisher::publish_alarms(uint32_t data_id) {
    connection->publish(topic(data_id, "alarms"),
                        json_line(alarms_document(data_id, active[data_id])), 1, true);
}

// ---- the event backlog --------------------------------------------------------------------

void MqttPublisher::queue_event(uint32_t data_id, Json::Value event) {
    event["data_id"] = data_id;
    try {
        const unsigned long dropped =
            backlog.queue_event(topic(data_id, "events"), json_line(event), options.backlog);
        if (dropped > 0)
            log.limited("mqtt:overflow", "mqtt: event backlog full (" +
                                             std::to_string(options.backlog) +
                                             " events): the oldest are dropped");
        backlog_failing = false;
    } catch (const HistoryError &e) {
        if (!backlog_failing)
            log.line("mqtt: cannot keep an event for the broker: " + std::string(e.what()));
        backlog_failing = true;
        return;
    }
    send_backlog();
}

// Oldest first, a window at a time; an event leaves the backlog when the broker has it. Its
// sequence number lets a subscriber see a duplicate (sent again after a connection dropped
// before the acknowledgement) and `dropped_before` a gap.
void MqttPublisher::send_backlog() {
    if (!connection->connected())
        return;
    try {
        while (in_flight.size() < kEventWindow) {
            const auto events = backlog.queued_events(
                last_sent, static_cast<unsigned>(kEventWindow - in_flight.size()));
            if (events.empty())
                return;
            for (const QueuedEvent &e : events) {
                Json::Value payload;
                if (!parse_request(e.payload, payload))
                    payload["event"] = "unreadable";
                payload["seq"] = static_cast<Json::Int64>(e.seq);
                if (e.dropped_before > 0)
                    payload["dropped_before"] = static_cast<Json::Int64>(e.dropped_before);
                const auto id = connection->publish(e.topic, json_line(payload), 1, false);
                if (!id)
                    return;
                in_flight[*id] = e.seq;
                last_sent = e.seq;
            }
        }
    } catch (const HistoryError &e) {
        log.limited("mqtt:backlog",
                    "mqtt: cannot read the event backlog: " + std::string(e.what()));
    }
}

void MqttPublisher::on_delivered(int id) {
    auto found = in_flight.find(id);
    if (found == in_flight.end())
        return; // state, alarms, results: nothing waits for them
    try {
        backlog.event_delivered(found->second);
    } catch (const HistoryError &e) {
        log.limited("mqtt:backlog",
                    "mqtt: cannot update the event backlog: " + std::string(e.what()));
    }
    in_flight.erase(found);
    send_backlog();
}

// ---- the connection -----------------------------------------------------------------------

void MqttPublisher::on_connected() {
    connection->publish(topic_prefix + "/status", "online", 1, true);
    for (uint32_t id : devices) {
        publish_state(id);
        publish_alarms(id);
        if (options.control) {
            connection->subscribe(topic(id, "set"), 1);
            connection->subscribe(topic(id, "control"), 1);
        }
    }
    in_flight.clear();
    last_sent = 0;
    send_backlog();
}

// What was in flight is sent again on the next connection, from the oldest not acknowledged.
void MqttPublisher::on_connection_lost() {
    in_flight.clear();
    last_sent = 0;
}

// ---- requests -----------------------------------------------------------------------------

void MqttPublisher::on_message(const std::string &topic_name, const std::string &payload,
                               bool retained) {
    const std::string head = topic_prefix + "/";
    if (!options.control || topic_name.compare(0, head.size(), head) != 0)
        return;
    const std::string rest = topic_name.substr(head.size());
    const auto slash = rest.find('/');
    if (slash == std::string::npos)
        return;
    const std::string leaf = rest.substr(slash + 1);
    const std::string number = rest.substr(0, slash);
    for (uint32_t id : devices)
        if (number == std::to_string(id) && (leaf == "set" || leaf == "control"))
            return take_request(id, leaf == "set", payload, retained);
}

// Nothing reaches the driver that is not exactly the form it takes: the payload is refused
// unread when too long, and refused when malformed, with its outcome published either way.
void MqttPublisher::take_request(uint32_t data_id, bool set, const std::string &payload,
                                 bool retained) {
    // An empty payload is how a retained message is cleared from the broker, not a request.
    if (payload.empty())
        return;
    // A retained request would be carried out again on every connection, long after it was
    // meant: only requests published while the host listens are taken.
    if (retained)
        return refuse(data_id, set, Json::Value(), payload.substr(0, kLargestRequestPayload),
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
    const Json::Value id = v["id"];
    if (!good_request_id(id))
        return refuse(data_id, set, Json::Value(), payload,
                      "expected an \"id\": a text of 1 to 64 characters or a whole number");
    // A confirmation is true or false; absent, the request is not confirmed.
    const Json::Value &confirm = v[set ? "force" : "all_modules"];
    if (!confirm.isNull() && !confirm.isBool())
        return refuse(data_id, set, id, payload,
                      std::string("expected ") + (set ? kSetForm : kControlForm));
    const Confirmations confirmed =
        mqtt_confirmations(!set && confirm.asBool(), set && confirm.asBool());
    const bool known_keys = set ? only_keys(v, {"id", "signal_id", "SetValue", "force"})
                                : only_keys(v, {"id", "request", "all_modules"});
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
    request.done = [this, data_id, set, id, text](const RequestOutcome &outcome) {
        answer(data_id, set, id, text, outcome);
    };
    desk.submit(data_id, std::move(request));
}

void MqttPublisher::refuse(uint32_t data_id, bool set, const Json::Value &request_id,
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

void MqttPublisher::answer(uint32_t data_id, bool set, const Json::Value &request_id,
                           const std::string &request, const RequestOutcome &outcome) {
    Json::Value payload;
    payload["id"] = request_id;
    payload["data_id"] = data_id;
    payload["kind"] = set ? "set" : "control";
    payload["request"] = request.substr(0, kLargestRequestPayload);
    payload["outcome"] = outcome.outcome;
    if (!outcome.reason.empty())
        payload["reason"] = outcome.reason;
    payload["time"] = utc_time_text();
    connection->publish(topic(data_id, "result"), json_line(payload), 1, false);
}

} // namespace host
