#include "host/mqtt/mqtt_forget.h"

#include "host/mqtt/mqtt_client.h"
#include "host/mqtt/mqtt_discovery.h"
#include "host/mqtt/mqtt_publisher.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <map>
#include <memory>
#include <set>

namespace host {
namespace {

class ForgetSession : public MqttConnection::Listener {
public:
    ForgetSession(boost::asio::io_context &io, Log &log, const MqttOptions &o, uint32_t data_id,
                  std::chrono::milliseconds quiet)
        : io(io), quiet(quiet), quiet_timer(io),
          prefix(o.prefix.empty() ? default_mqtt_prefix() : o.prefix) {
        device.host_prefix = prefix;
        device.discovery_prefix =
            o.discovery_prefix.empty() ? kDefaultDiscoveryPrefix : o.discovery_prefix;
        device.data_id = data_id;
        device.control = true; // whatever the host announced, these are among them
        MqttLogin login = mqtt_login(o, prefix);
        // Beside a running host, never in its place: another client, and no will that would
        // mark the host offline.
        login.client_id += "-forget";
        login.will_topic.clear();
        connection = std::make_unique<MqttConnection>(io, log, parse_mqtt_url(o.url), login, *this);
    }

    void start() { connection->start(); }
    ForgetResult result() const { return outcome; }

    void on_connected() override {
        connection->subscribe(discovery_filter(device), 1);
        wait_quiet();
    }
    void on_connection_lost() override {
        lost_unconfirmed += in_flight.size();
        in_flight.clear();
    }
    void on_message(const std::string &topic, const std::string &payload, bool retained) override {
        if (retained && !payload.empty() && !sending) {
            found.insert(topic);
            wait_quiet();
        }
    }
    // Only a topic the broker acknowledged taking is told as cleared.
    void on_delivered(int id, bool accepted) override {
        const auto sent = in_flight.find(id);
        if (sent == in_flight.end())
            return;
        if (accepted)
            outcome.cleared.push_back(sent->second);
        else
            ++lost_unconfirmed;
        in_flight.erase(sent);
        // Called from inside the library: the session ends once the call has returned.
        if (in_flight.empty() && sending) {
            outcome.done = lost_unconfirmed == 0;
            if (!outcome.done)
                outcome.error = "the broker did not take every empty payload (may this account "
                                "write the topics?)";
            boost::asio::post(io, [this] { finish(); });
        }
    }
    void finish() {
        outcome.unconfirmed = in_flight.size() + lost_unconfirmed;
        quiet_timer.cancel();
        connection->stop("", "");
        io.stop();
    }

private:
    void wait_quiet() {
        quiet_timer.expires_after(quiet);
        quiet_timer.async_wait([this](boost::system::error_code ec) {
            if (!ec)
                clear_all();
        });
    }

    void clear_all() {
        sending = true;
        std::vector<std::string> topics(found.begin(), found.end());
        for (const RetainedMessage &m : discovery_messages(device, DiscoveryShape{}))
            if (!found.count(m.topic))
                topics.push_back(m.topic);
        for (const char *leaf : {"availability", "state", "alarms"})
            topics.push_back(prefix + "/" + std::to_string(device.data_id) + "/" + leaf);
        for (const std::string &t : topics) {
            if (const auto id = connection->publish(t, "", 1, true))
                in_flight.emplace(*id, t);
            else
                ++lost_unconfirmed;
        }
        if (in_flight.empty()) {
            outcome.error = "the broker took none of the empty payloads";
            finish();
        }
    }

    boost::asio::io_context &io;
    std::chrono::milliseconds quiet;
    boost::asio::steady_timer quiet_timer;
    std::string prefix;
    DiscoveryDevice device;
    std::unique_ptr<MqttConnection> connection;
    std::set<std::string> found;
    std::map<int, std::string> in_flight; // message id: topic
    size_t lost_unconfirmed = 0;          // refused by the library, or lost with a connection
    bool sending = false;
    ForgetResult outcome;
};

} // namespace

ForgetResult forget_device(const MqttOptions &options, uint32_t data_id, Log &log,
                           std::chrono::milliseconds quiet, std::chrono::milliseconds patience) {
    boost::asio::io_context io;
    ForgetSession session(io, log, options, data_id, quiet);
    boost::asio::steady_timer deadline(io);
    deadline.expires_after(patience);
    deadline.async_wait([&](boost::system::error_code ec) {
        if (!ec)
            session.finish();
    });
    session.start();
    io.run();
    ForgetResult r = session.result();
    if (!r.done && r.error.empty())
        r.error = "no answer from " + options.url + " within " +
                  std::to_string(patience.count() / 1000) + " s";
    return r;
}

} // namespace host
