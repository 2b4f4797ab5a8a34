#include "host/outputs/mqtt_publisher.h"
#include "host/core/named_requests.h"
#include "host/core/request_form.h"

#include "host/common/catalogue.h"
#include "host/common/plain_text.h"
#include "host/outputs/block_fields.h"
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

std::string id_text(const Json::Value &id) {
    if (id.isString())
        return id.asString();
    return id.isNull() ? "" : request_text(id);
}

// A block field's value as the state document writes it, 7 significant digits.
std::string bare_number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", value);
    return text;
}

const char *communication_text(const std::map<uint32_t, bool> &reachable, uint32_t data_id) {
    const auto found = reachable.find(data_id);
    return found == reachable.end() ? "unknown" : found->second ? "ok" : "lost";
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
                             Outbox &backlog, const MqttOptions &o,
                             const std::vector<DeviceConfig> &configs)
    : log(log), desk(desk), backlog(backlog), options(o),
      topic_prefix(o.prefix.empty() ? default_mqtt_prefix() : o.prefix) {
    for (const DeviceConfig &d : configs) {
        devices.push_back(d.data_id);
        names[d.data_id] = d.name;
    }
    connection = std::make_unique<MqttConnection>(io, log, parse_mqtt_url(o.url),
                                                  mqtt_login(o, topic_prefix), *this);
}

MqttPublisher::~MqttPublisher() = default;

void MqttPublisher::start() {
    connection->start();
}

// Ahead of the status, so that the broker has every device's word before the host's; at QoS 0,
// as the status, because a QoS 1 message may wait in the library behind others not yet
// acknowledged, and the host no longer reads the acknowledgements.
void MqttPublisher::stop() {
    for (uint32_t id : devices)
        if (connection->connected())
            connection->publish(topic(id, "availability"), "offline", 0, true);
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
    states.insert_or_assign(round.data_id, StateDocument(round, decoded));
    const uint32_t id = round.data_id;
    const DiscoveryShape shape = discovery_shape(decoded);
    if (!options.discovery_prefix.empty() && shapes[id] != shape) {
        shapes[id] = shape;
        publish_discovery(id);
    }
    publish_state(id);
    if (!reachable[id]) { // the first round, or the first since communication came back
        reachable[id] = true;
        publish_availability(id);
        publish_alarms(id);
    }
    if (options.values)
        publish_values(id, decoded);
}

void MqttPublisher::alarm_changed(const AlarmRecord &alarm) {
    const std::string now = utc_time_text();
    note_alarm(active[alarm.data_id], alarm, now);
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

// A lost device keeps its last values, marked as such, and its alarms: what was wrong when it
// fell silent is still the best guess, but nothing of it may pass for current.
void MqttPublisher::communication_changed(const CommunicationChanged &change) {
    if (change.lost) {
        reachable[change.data_id] = false;
        auto state = states.find(change.data_id);
        if (state != states.end())
            state->second.mark_lost();
        publish_availability(change.data_id);
        publish_state(change.data_id);
        publish_alarms(change.data_id);
    }
    Json::Value event;
    event["event"] = "communication";
    event["state"] = change.lost ? "lost" : "re-established";
    event["time"] = utc_time_text();
    queue_event(change.data_id, event);
}

// Before this run's first round the broker keeps no state: one left from an earlier run would
// look current to a subscriber that does not check the availability.
void MqttPublisher::publish_state(uint32_t data_id) {
    static const std::string kNoState;
    const auto found = states.find(data_id);
    // Not a conditional expression: that would copy the document.
    const std::string &payload = found == states.end() ? kNoState : found->second.text();
    connection->publish(topic(data_id, "state"), payload, 0, true);
}

void MqttPublisher::publish_availability(uint32_t data_id) {
    const auto found = reachable.find(data_id);
    const bool online = found != reachable.end() && found->second;
    connection->publish(topic(data_id, "availability"), online ? "online" : "offline", 1, true);
}

// Not retained: a value read from one of these topics is always one of this round.
void MqttPublisher::publish_values(uint32_t data_id, const DecodedBlock &block) {
    const std::string head = topic(data_id, "value") + "/";
    for (size_t i = 0; i < kBlockFieldCount; ++i) {
        const BlockField &f = kBlockFields[i];
        const size_t count = f.how_many(block);
        for (size_t n = 1; n <= count; ++n)
            connection->publish(head + (indexed(f) ? field_name(f, n) : f.name),
                                bare_number(f.read(block, n - 1)), 0, false);
    }
}

// A device whose records changed (a module added or removed) loses the entities it no longer
// has; the others are announced again.
void MqttPublisher::publish_discovery(uint32_t data_id) {
    const DiscoveryDevice device{topic_prefix, options.discovery_prefix, data_id, names[data_id],
                                 options.control};
    const auto now = discovery_messages(device, shapes[data_id]);
    std::set<std::string> topics;
    for (const RetainedMessage &m : now) {
        connection->publish(m.topic, m.payload, 1, true);
        topics.insert(m.topic);
    }
    for (const std::string &gone : announced[data_id])
        if (!topics.count(gone))
            connection->publish(gone, "", 1, true);
    announced[data_id] = std::move(topics);
}

void MqttPublisher::publish_alarms(uint32_t data_id) {
    Json::Value payload = alarms_document(data_id, active[data_id]);
    payload["communication"] = communication_text(reachable, data_id);
    connection->publish(topic(data_id, "alarms"), json_line(payload), 1, true);
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

// An event the broker refuses (its account may not write there) leaves the backlog all the
// same: sent again it would be refused again, and hold back every event after it.
void MqttPublisher::on_delivered(int id, bool accepted) {
    auto found = in_flight.find(id);
    if (found == in_flight.end())
        return; // state, alarms, results: nothing waits for them
    if (!accepted)
        log.limited("mqtt:refused", "mqtt: the broker refused an event (may this account write "
                                    "its topic?)");
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
        if (!options.discovery_prefix.empty())
            publish_discovery(id);
        publish_availability(id);
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
    const Json::Value id = v["id"];
    if (!good_request_id(id))
        return refuse(data_id, set, Json::Value(), payload,
                      "expected an \"id\": a text of 1 to 64 characters (UTF-8, no control "
                      "characters) or a whole number");
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
