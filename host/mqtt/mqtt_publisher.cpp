#include "host/mqtt/mqtt_publisher.h"
#include "host/core/named_requests.h"
#include "host/core/request_form.h"

#include "host/block/block_fields.h"
#include "host/common/catalogue.h"
#include "host/common/plain_text.h"
#include "host/json/documents.h"

#include <json/reader.h>

#include <boost/asio/post.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

namespace host {
namespace {

// A block field's value as the state document writes it, 7 significant digits.
std::string bare_number(double value) {
    std::string text;
    append_seven_digits(text, value);
    return text;
}

// A queued event as it goes out: its sequence number, and how many were dropped before it,
// written in front of the members it was queued with (an object the host wrote, never read
// back).
std::string numbered_event(const QueuedEvent &e) {
    std::string out = "{\"seq\":";
    append_integer(out, e.seq);
    if (e.dropped_before > 0) {
        out += ",\"dropped_before\":";
        append_integer(out, e.dropped_before);
    }
    const bool members = e.payload.size() > 2 && e.payload.front() == '{';
    if (members)
        out.append(",").append(e.payload, 1, std::string::npos);
    else
        out.push_back('}');
    return out;
}

const char *communication_text(const std::map<uint32_t, bool> &reachable, uint32_t data_id) {
    const auto found = reachable.find(data_id);
    return found == reachable.end() ? "unknown" : found->second ? "ok" : "lost";
}

double steady_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
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
                             Outbox &backlog, const SiteState &site, const MqttOptions &o,
                             const std::vector<DeviceConfig> &configs)
    : io(io), log(log), backlog(backlog), site(site),
      intake(desk,
             [this](uint32_t data_id, const std::string &payload) {
                 connection->publish(topic(data_id, "result"), payload, 1, false);
             }),
      options(o), topic_prefix(o.prefix.empty() ? default_mqtt_prefix() : o.prefix) {
    for (const DeviceConfig &d : configs) {
        devices.push_back(d.data_id);
        names[d.data_id] = d.name;
        expiry[d.data_id] = sensor_expiry(o.heartbeat, d.interval);
        throttles.emplace(d.data_id, StateThrottle(o.heartbeat));
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

// An unreadable block is told by the core; the retained state stays the last good one.
void MqttPublisher::round_completed(const RoundCompleted &round) {
    if (!round.decoded)
        return;
    const DecodedBlock &decoded = *round.decoded;
    const uint32_t id = round.data_id;
    const DiscoveryShape shape = discovery_shape(decoded);
    if (!options.discovery_prefix.empty() && shapes[id] != shape) {
        shapes[id] = shape;
        publish_discovery(id);
    }
    // The first round, or the first since communication came back.
    const bool back = !reachable[id];
    StateThrottle &throttle = throttles[id];
    if (back)
        throttle.force();
    if (throttle.offer(decoded, steady_seconds()))
        send_state(id, decoded);
    if (back) {
        reachable[id] = true;
        publish_availability(id);
        publish_alarms(id);
    }
}

// The state goes out too. The driver tells most alarms before its round's block, and the block
// takes the state with it; the rest come after it, and once the round is done the state goes
// out if it has not.
void MqttPublisher::alarm_changed(const AlarmRecord &alarm) {
    const std::string now = utc_time_text();
    throttles[alarm.data_id].force();
    boost::asio::post(io, [this, id = alarm.data_id] { flush_state(id); });
    publish_alarms(alarm.data_id);
    std::string event;
    JsonWriter w(event);
    w.object().key("data_id").number(alarm.data_id).key("detail").text(alarm.detail);
    w.key("event").text("alarm").key("name").text(catalogue::alarm_name(alarm.signal_id));
    w.key("signal_id").text(alarm.signal_id).key("state").text(alarm.raised ? "raised" : "cleared");
    w.key("text").text(alarm.text).key("time").text(now).end();
    queue_event(alarm.data_id, event);
}

// A lost device keeps its last values, marked as such, and its alarms: what was wrong when it
// fell silent is still the best guess, but nothing of it may pass for current.
void MqttPublisher::communication_changed(const CommunicationChanged &change) {
    if (change.lost) {
        reachable[change.data_id] = false;
        publish_availability(change.data_id);
        publish_state(change.data_id);
        publish_alarms(change.data_id);
    }
    std::string event;
    JsonWriter(event)
        .object()
        .key("data_id")
        .number(change.data_id)
        .key("event")
        .text("communication")
        .key("state")
        .text(change.lost ? "lost" : "re-established")
        .key("time")
        .text(utc_time_text())
        .end();
    queue_event(change.data_id, event);
}

void MqttPublisher::plant_changed(const PlantChanged &c) {
    std::string event;
    JsonWriter(event)
        .object()
        .key("data_id")
        .number(c.data_id)
        .key("difference")
        .text(c.difference)
        .key("event")
        .text("plant")
        .key("port")
        .text(c.port)
        .key("text")
        .text(plant_changed_text(c))
        .key("time")
        .text(utc_time_text())
        .end();
    queue_event(c.data_id, event);
}

// Before this run's first round the broker keeps no state: one left from an earlier run would
// look current to a subscriber that does not check the availability.
void MqttPublisher::publish_state(uint32_t data_id) {
    static const std::string kNoState;
    const DeviceState *d = site.device(data_id);
    const auto form = options.full_state ? StateDocument::Form::Full : StateDocument::Form::Compact;
    // Not a conditional expression: that would copy the document.
    const std::string &payload = d && d->document ? d->document->text(form) : kNoState;
    connection->publish(topic(data_id, "state"), payload, 0, true);
}

void MqttPublisher::send_state(uint32_t data_id, const DecodedBlock &block) {
    publish_state(data_id);
    if (options.values)
        publish_values(data_id, block);
}

// Nothing while the device is lost: its state went out marked so, and the round that brings it
// back takes the new one.
void MqttPublisher::flush_state(uint32_t data_id) {
    StateThrottle &throttle = throttles[data_id];
    const DeviceState *d = site.device(data_id);
    if (!throttle.pending() || !d || !d->block)
        return;
    throttle.published(*d->block, steady_seconds());
    send_state(data_id, *d->block);
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

void MqttPublisher::describe_host(const std::string &version, const std::string &page) {
    host_version = version;
    host_page = page;
}

// A device whose records changed (a module added or removed) loses the entities it no longer
// has; the others are announced again.
void MqttPublisher::publish_discovery(uint32_t data_id) {
    DiscoveryDevice device;
    device.host_prefix = topic_prefix;
    device.discovery_prefix = options.discovery_prefix;
    device.data_id = data_id;
    device.name = names[data_id];
    device.control = options.control;
    device.expire_after = expiry[data_id];
    device.version = host_version;
    device.page = host_page;
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
    static const ActiveAlarms kNone;
    const DeviceState *d = site.device(data_id);
    connection->publish(
        topic(data_id, "alarms"),
        alarms_document(data_id, d ? d->alarms : kNone, communication_text(reachable, data_id)), 1,
        true);
}

// ---- the event backlog --------------------------------------------------------------------

void MqttPublisher::queue_event(uint32_t data_id, const std::string &event) {
    try {
        const unsigned long dropped =
            backlog.queue_event(topic(data_id, "events"), event, options.backlog);
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
                const auto id = connection->publish(e.topic, numbered_event(e), 1, false);
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
    const double now = steady_seconds();
    for (uint32_t id : devices) {
        if (!options.discovery_prefix.empty())
            publish_discovery(id);
        publish_availability(id);
        publish_state(id);
        if (const DeviceState *d = site.device(id); d && d->block)
            throttles[id].published(*d->block, now);
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
            return intake.take(id, leaf == "set", payload, retained);
}

} // namespace host
