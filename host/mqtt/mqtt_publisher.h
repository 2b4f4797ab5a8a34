// The host's state, alarms and events on an MQTT broker, and control requests from it.
//
//   <prefix>/status              "online" / "offline" (retained; "offline" is the will)
//   <prefix>/<data_id>/availability
//                                "online" once a round completed, "offline" before the first
//                                round, while communication is lost and after a clean stop
//                                (retained)
//   <prefix>/<data_id>/state     the newest completed round's block, decoded, with "comm_status"
//                                (retained; marked "lost" while communication is lost); sent
//                                when it changed (see state_throttle.h) and at least once a
//                                heartbeat, without the block's hex and the units unless
//                                --mqtt-full-state
//   <prefix>/<data_id>/alarms    the alarms active now, with the time each was raised, and
//                                "communication" (retained)
//   <prefix>/<data_id>/value/<name>
//                                each block field's bare number, with --mqtt-values only, sent
//                                with the state
//   <prefix>/<data_id>/events    alarm transitions, communication lost / re-established (QoS 1)
//   <prefix>/<data_id>/set       parameter setting requests, with --mqtt-control only
//   <prefix>/<data_id>/control   remote control requests, with --mqtt-control only
//   <prefix>/<data_id>/result    each request's outcome, with its id (QoS 1)
//
// Events go to a backlog in the history database first and leave it when the broker has
// acknowledged them, so that a broker that is away, or a host restarted meanwhile, loses none
// (up to the backlog's bound: then the oldest go, and the next one delivered counts them).
// State, alarms, availability and discovery are published again on every connection. The
// will covers the host's own death only; a subscriber trusts a device's values while both
// the status and the device's availability say "online".
#pragma once

#include "host/common/clock_text.h"
#include "host/common/device_config.h"
#include "host/common/events.h"
#include "host/common/log.h"
#include "host/core/requests.h"
#include "host/json/documents.h"
#include "host/mqtt/mqtt_client.h"
#include "host/mqtt/mqtt_discovery.h"
#include "host/mqtt/mqtt_options.h"
#include "host/mqtt/request_intake.h"
#include "host/mqtt/state_throttle.h"
#include "host/state/site_state.h"
#include "host/stores/outbox.h"

#include <json/value.h>

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace host {

// Events in flight at once: the broker acknowledges them in order.
constexpr unsigned kEventWindow = 16;

// The default topic prefix, "mpx23/<host name>".
std::string default_mqtt_prefix();

// The login the options describe (reads the password file); throws ConfigError.
MqttLogin mqtt_login(const MqttOptions &options, const std::string &prefix);

class MqttPublisher : public Observer, public MqttConnection::Listener {
public:
    // `backlog`: where events wait (the history database, or one in memory without it).
    // `site`: the state kept once for every output, told each event before this publisher.
    MqttPublisher(boost::asio::io_context &io, Log &log, RequestDesk &desk, Outbox &backlog,
                  const SiteState &site, const MqttOptions &options,
                  const std::vector<DeviceConfig> &devices);
    ~MqttPublisher() override;

    void start();
    // Says "offline" for every device and the host, and leaves the broker.
    void stop();
    const std::string &prefix() const { return topic_prefix; }
    // What discovery tells the hub of the host: its version, and its live page when others can
    // reach it (""); before the loop runs, which connects.
    void describe_host(const std::string &version, const std::string &page);
    bool connected() const;

    // Observer
    void round_completed(const RoundCompleted &round) override;
    void alarm_changed(const AlarmRecord &alarm) override;
    void communication_changed(const CommunicationChanged &change) override;
    void plant_changed(const PlantChanged &change) override;

    // MqttConnection::Listener
    void on_connected() override;
    void on_connection_lost() override;
    void on_delivered(int id, bool accepted) override;
    void on_message(const std::string &topic, const std::string &payload, bool retained) override;

private:
    std::string topic(uint32_t data_id, const char *leaf) const;
    void queue_event(uint32_t data_id, const std::string &event);
    void send_backlog();
    void publish_state(uint32_t data_id);
    // The state and, with --mqtt-values, the values of `block`, the newest round's.
    void send_state(uint32_t data_id, const DecodedBlock &block);
    // The newest round's state, if something it does not show changed since it was offered.
    void flush_state(uint32_t data_id);
    void publish_alarms(uint32_t data_id);
    void publish_availability(uint32_t data_id);
    void publish_values(uint32_t data_id, const DecodedBlock &block);
    void publish_discovery(uint32_t data_id);

    boost::asio::io_context &io;
    Log &log;
    Outbox &backlog;
    const SiteState &site;
    RequestIntake intake;
    MqttOptions options;
    std::string topic_prefix;
    std::vector<uint32_t> devices;
    std::map<uint32_t, std::string> names; // for discovery; "" when not configured
    std::map<uint32_t, unsigned> expiry;   // for discovery: each device's sensors' expire_after
    std::string host_version, host_page;   // for discovery
    std::map<uint32_t, StateThrottle> throttles;
    std::unique_ptr<MqttConnection> connection;
    // What is known of each device's communication: absent before the first completed round of
    // this run.
    std::map<uint32_t, bool> reachable;
    std::map<uint32_t, DiscoveryShape> shapes; // what the newest block holds, for discovery
    std::map<uint32_t, std::set<std::string>> announced; // discovery topics, per device
    std::map<int, int64_t> in_flight;                    // message id -> backlog sequence number
    int64_t last_sent = 0; // the newest backlog event handed to this connection
    bool backlog_failing = false;
};

} // namespace host
