// One connection to an MQTT broker, driven by the host's event loop: libmosquitto does the
// protocol, the loop watches its socket and runs its keep-alive, so that no thread of its own
// touches the host's state. A connection that fails or drops is tried again after a wait that
// doubles from 1 s to 30 s; each try is a new session, so nothing of a dead one is sent twice by
// the library (what must survive a drop is kept by the caller).
#pragma once

#include "host/common/log.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace host {

struct MqttEndpoint {
    std::string host;
    uint16_t port = 1883;
    bool tls = false;
};

// "mqtt://HOST[:PORT]" (port 1883 unless given) or "mqtts://HOST[:PORT]" (8883); throws
// ConfigError.
MqttEndpoint parse_mqtt_url(const std::string &url);

// Whether the MQTT library this process runs with can speak TLS. Asked of the library, not of
// the build: a controller may have either variant of libmosquitto installed.
bool mqtt_library_has_tls();

struct MqttLogin {
    std::string client_id;
    std::string user;     // empty: none
    std::string password; // the password file's first line
    std::string ca_file;  // mqtts: the authority the broker's certificate must come from
    std::string will_topic, will_payload; // published (retained) by the broker if we vanish;
                                          // none without a topic
    unsigned keepalive_seconds = 30;
};

class MqttConnection {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void on_connected() = 0;
        // A connection that was up is gone.
        virtual void on_connection_lost() = 0;
        // The broker acknowledged the QoS 1 message `id`; `accepted` false when it said it did
        // not take it (MQTT 5: not authorised, say).
        virtual void on_delivered(int id, bool accepted) = 0;
        // `retained`: the broker kept it from before this session.
        virtual void on_message(const std::string &topic, const std::string &payload,
                                bool retained) = 0;
    };

    static constexpr std::chrono::seconds kFirstRetry{1};
    static constexpr std::chrono::seconds kLongestRetry{30};
    // What the broker may send: the requests and the retained discovery messages the host
    // reads are a few hundred bytes.
    static constexpr uint32_t kLargestIncomingPacket = 64 * 1024;

    MqttConnection(boost::asio::io_context &io, Log &log, MqttEndpoint endpoint, MqttLogin login,
                   Listener &listener);
    ~MqttConnection();
    MqttConnection(const MqttConnection &) = delete;
    MqttConnection &operator=(const MqttConnection &) = delete;

    void start();
    // Publishes a last message (QoS 0; none without a topic) and leaves the broker cleanly, waiting
    // at most `limit` for the bytes to go out; the will is then not published.
    void stop(const std::string &topic, const std::string &payload,
              std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

    bool connected() const { return up; }
    // The message's id (QoS 1: on_delivered tells when the broker has it), or nothing when
    // there is no connection or the library refused it.
    std::optional<int> publish(const std::string &topic, const std::string &payload, int qos,
                               bool retain);
    bool subscribe(const std::string &topic, int qos);
    std::string name() const;

private:
    struct SessionDeleter {
        void operator()(mosquitto *m) const;
    };

    void attempt();
    void open_next();
    void open(const std::string &address);
    bool open_session(const std::string &address);
    void watch_socket();
    void wait_readable();
    void wait_writable();
    void wait_until(boost::asio::posix::descriptor_base::wait_type what, bool &armed);
    void service();
    bool session_alive() const;
    void session_down(const std::string &why);
    void teardown();
    void retry_later();
    void keep_alive();

    static void connected_cb(mosquitto *, void *self, int rc);
    static void disconnected_cb(mosquitto *, void *self, int rc);
    static void published_cb(mosquitto *, void *self, int id, int reason_code,
                             const mqtt5__property *);
    static void message_cb(mosquitto *, void *self, const mosquitto_message *message);
    static void log_cb(mosquitto *, void *self, int level, const char *text);

    boost::asio::io_context &io;
    Log &log;
    MqttEndpoint endpoint;
    MqttLogin login;
    Listener &listener;
    std::unique_ptr<mosquitto, SessionDeleter> session;
    std::optional<boost::asio::posix::stream_descriptor> socket;
    boost::asio::ip::tcp::resolver resolver;
    boost::asio::steady_timer retry_timer, keepalive_timer;
    std::chrono::seconds retry_wait = kFirstRetry;
    std::vector<std::string> addresses; // of the broker's name, not tried yet in this try
    unsigned generation = 0; // a torn-down session's waits find it changed and do nothing
    bool reading = false, writing = false;
    bool up = false;
    bool v5 = false; // the session speaks MQTT 5, with the packet limit
    std::chrono::steady_clock::time_point up_since{};
    bool dropped = false; // the library told of a lost connection inside one of its calls
    bool stopped = false;
    std::string refusal;    // the broker's answer to a refused CONNECT
    std::string last_error; // the library's last error line (a failed TLS handshake, say)
};

} // namespace host
