#include "host/mqtt/mqtt_client.h"

#include "host/common/errors.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace host {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;

// The library's global set-up, once per process, before the first session.
void init_library() {
    static const bool done = [] {
        mosquitto_lib_init();
        return true;
    }();
    (void)done;
}

struct Scheme {
    const char *prefix;
    uint16_t port;
    bool tls;
};
constexpr Scheme kSchemes[] = {{"mqtt://", 1883, false}, {"mqtts://", 8883, true}};

// Asks the broker (MQTT 5's Maximum Packet Size) never to send a packet larger than `largest`:
// the library takes a packet whole into memory before anyone sees it, so a 100 MB message on a
// request topic would be held whole only to be refused. The library sends CONNECT properties
// only from its blocking connect, which stores them before it looks at the port: given a port it
// refuses, it keeps them and connects nowhere, and the asynchronous connect then sends them.
// False when the library does not work so (the session then speaks MQTT 3.1.1, without limit).
bool ask_packet_limit(mosquitto *m, uint32_t largest) {
    if (mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5) != MOSQ_ERR_SUCCESS)
        return false;
    mosquitto_property *properties = nullptr;
    bool kept =
        mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, largest) ==
            MOSQ_ERR_SUCCESS &&
        mosquitto_connect_bind_v5(m, "localhost", -1, 60, nullptr, properties) == MOSQ_ERR_INVAL;
    mosquitto_property_free_all(&properties);
    if (!kept)
        mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    return kept;
}

} // namespace

bool mqtt_library_has_tls() {
    // A library without TLS answers every TLS call "not supported" before it looks at the
    // client, so no client is needed to ask; one with TLS refuses the missing client instead.
    return mosquitto_tls_insecure_set(nullptr, false) != MOSQ_ERR_NOT_SUPPORTED;
}

MqttEndpoint parse_mqtt_url(const std::string &url) {
    const std::string expected = "--mqtt: expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not ";
    for (const Scheme &s : kSchemes) {
        const std::string prefix = s.prefix;
        if (url.compare(0, prefix.size(), prefix) != 0)
            continue;
        MqttEndpoint e{url.substr(prefix.size()), s.port, s.tls};
        const auto colon = e.host.rfind(':');
        if (colon != std::string::npos) {
            const std::string port = e.host.substr(colon + 1);
            e.host.erase(colon);
            const bool digits =
                !port.empty() && port.size() <= 5 &&
                std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
            const unsigned long number = digits ? std::stoul(port) : 0;
            if (number == 0 || number > 65535)
                throw ConfigError(expected + url);
            e.port = static_cast<uint16_t>(number);
        }
        if (e.host.empty() || e.host.find_first_of("/@ ") != std::string::npos)
            throw ConfigError(expected + url);
        return e;
    }
    throw ConfigError(expected + url);
}

void MqttConnection::SessionDeleter::operator()(mosquitto *m) const {
    mosquitto_destroy(m);
}

MqttConnection::MqttConnection(asio::io_context &io, Log &log, MqttEndpoint endpoint,
                               MqttLogin login, Listener &listener)
    : io(io), log(log), endpoint(std::move(endpoint)), login(std::move(login)), listener(listener),
      resolver(io), retry_timer(io), keepalive_timer(io) {
    init_library();
}

MqttConnection::~MqttConnection() {
    teardown();
}

std::string MqttConnection::name() const {
    return std::string(endpoint.tls ? "mqtts://" : "mqtt://") + endpoint.host + ":" +
           std::to_string(endpoint.port);
}

void MqttConnection::start() {
    stopped = false;
    attempt();
}

// Each try starts a new session: a dead session's unacknowledged messages are the caller's to
// send again, never the library's. The broker's name is looked up apart from the loop (a name
// server that does not answer must not stop the polling); the library then connects to the
// address, or, over TLS, to the name again, which its certificate check needs and which the
// system has just looked up.
void MqttConnection::attempt() {
    if (stopped)
        return;
    boost::system::error_code ec;
    asio::ip::make_address(endpoint.host, ec);
    if (!ec)
        return open(endpoint.host);
    resolver.async_resolve(
        endpoint.host, std::to_string(endpoint.port),
        [this, gen = generation](error_code error, asio::ip::tcp::resolver::results_type found) {
            if (gen != generation || stopped || error == asio::error::operation_aborted)
                return;
            if (error || found.empty()) {
                const std::string why = error ? error.message() : "no address";
                log.limited("mqtt:resolve:" + why,
                            "mqtt: cannot find " + endpoint.host + ": " + why);
                return retry_later();
            }
            addresses.clear();
            if (endpoint.tls)
                addresses.push_back(endpoint.host);
            else
                for (const auto &entry : found)
                    addresses.push_back(entry.endpoint().address().to_string());
            open_next();
        });
}

// A name with several addresses (IPv6 and IPv4, say) is tried address by address before the
// wait for the next try.
void MqttConnection::open_next() {
    if (addresses.empty())
        return retry_later();
    const std::string address = addresses.front();
    addresses.erase(addresses.begin());
    open(address);
}

void MqttConnection::open(const std::string &address) {
    if (!open_session(address)) {
        teardown();
        return open_next();
    }
    watch_socket();
    keep_alive();
}

bool MqttConnection::open_session(const std::string &address) {
    session.reset(mosquitto_new(login.client_id.c_str(), true, this));
    if (!session) {
        log.limited("mqtt:new", "mqtt: cannot create a session: " + std::string(strerror(errno)));
        return false;
    }
    mosquitto *m = session.get();
    mosquitto_connect_callback_set(m, &MqttConnection::connected_cb);
    mosquitto_disconnect_callback_set(m, &MqttConnection::disconnected_cb);
    mosquitto_publish_v5_callback_set(m, &MqttConnection::published_cb);
    mosquitto_message_callback_set(m, &MqttConnection::message_cb);
    mosquitto_log_callback_set(m, &MqttConnection::log_cb);
    v5 = ask_packet_limit(m, kLargestIncomingPacket);
    if (!v5)
        log.limited("mqtt:v311", "mqtt: this MQTT library cannot ask the broker to hold its "
                                 "messages to " +
                                     std::to_string(kLargestIncomingPacket) +
                                     " bytes; speaking MQTT 3.1.1 without that limit");
    int rc = login.will_topic.empty()
                 ? MOSQ_ERR_SUCCESS
                 : mosquitto_will_set(m, login.will_topic.c_str(),
                                      static_cast<int>(login.will_payload.size()),
                                      login.will_payload.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !login.user.empty())
        rc = mosquitto_username_pw_set(m, login.user.c_str(), login.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && endpoint.tls)
        rc = mosquitto_tls_set(m, login.ca_file.empty() ? nullptr : login.ca_file.c_str(),
                               login.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr,
                               nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::string why = mosquitto_strerror(rc);
        log.limited("mqtt:setup:" + why,
                    "mqtt: cannot set up the session" +
                        std::string(endpoint.tls ? " (TLS, CA " +
                                                       (login.ca_file.empty() ? "/etc/ssl/certs"
                                                                              : login.ca_file) +
                                                       ")"
                                                 : "") +
                        ": " + why + "; trying again");
        return false;
    }
    dropped = false;
    refusal.clear();
    last_error.clear();
    // Connects without blocking once the name is resolved; CONNECT goes out when the socket
    // becomes writable.
    rc = mosquitto_connect_async(m, address.c_str(), endpoint.port,
                                 static_cast<int>(login.keepalive_seconds));
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::string why = rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
        log.limited("mqtt:connect:" + why, "mqtt: cannot connect to " + name() + ": " + why);
        return false;
    }
    const int fd = mosquitto_socket(m);
    const int watched = fd >= 0 ? dup(fd) : -1;
    if (watched < 0)
        return false;
    // The loop watches a duplicate: the library closes its own descriptor when it likes.
    socket.emplace(io, watched);
    return true;
}

void MqttConnection::watch_socket() {
    wait_readable();
    if (mosquitto_want_write(session.get()))
        wait_writable();
}

void MqttConnection::wait_readable() {
    wait_until(asio::posix::descriptor_base::wait_read, reading);
}

void MqttConnection::wait_writable() {
    wait_until(asio::posix::descriptor_base::wait_write, writing);
}

// One wait per direction at a time: `armed` says that one is pending.
void MqttConnection::wait_until(asio::posix::descriptor_base::wait_type what, bool &armed) {
    if (armed || !socket)
        return;
    armed = true;
    socket->async_wait(what, [this, &armed, gen = generation](error_code ec) {
        if (gen != generation)
            return;
        armed = false;
        if (!ec)
            service();
    });
}

// Whichever way the socket became ready, a read comes first: it also carries a TLS handshake
// forward, and a read that finds nothing is harmless.
void MqttConnection::service() {
    mosquitto *m = session.get();
    if (!m)
        return;
    mosquitto_loop_read(m, 1);
    if (session_alive() && mosquitto_want_write(m))
        mosquitto_loop_write(m, 1);
    if (!session_alive())
        return session_down(!refusal.empty()      ? refusal
                            : !last_error.empty() ? last_error
                            : up                  ? "connection lost"
                                 : "closed before the broker accepted the session");
    // The loop is told of readiness once per change: bytes still waiting are read now.
    int waiting = 0;
    if (ioctl(mosquitto_socket(m), FIONREAD, &waiting) == 0 && waiting > 0)
        asio::post(io, [this, gen = generation] {
            if (gen == generation)
                service();
        });
    wait_readable();
    if (mosquitto_want_write(m))
        wait_writable();
}

bool MqttConnection::session_alive() const {
    return session && !dropped && mosquitto_socket(session.get()) >= 0;
}

// A session that the broker takes and then drops at once is tried again as slowly as one it
// refuses: the wait starts over only after a session that lasted. Losses and connections that
// repeat are told once a minute, with a count.
void MqttConnection::session_down(const std::string &why) {
    const bool was_up = up;
    teardown();
    if (was_up) {
        if (std::chrono::steady_clock::now() - up_since >= kLongestRetry)
            retry_wait = kFirstRetry;
        log.limited("mqtt:lost", "mqtt: connection to " + name() + " lost: " + why);
        listener.on_connection_lost();
    } else {
        log.limited("mqtt:down:" + why, "mqtt: cannot connect to " + name() + ": " + why);
        if (!addresses.empty())
            return open_next();
    }
    addresses.clear();
    retry_later();
}

void MqttConnection::teardown() {
    ++generation;
    reading = writing = false;
    up = false;
    keepalive_timer.cancel();
    if (socket) {
        error_code ignored;
        socket->close(ignored);
        socket.reset();
    }
    session.reset();
}

void MqttConnection::retry_later() {
    if (stopped)
        return;
    retry_timer.expires_after(retry_wait);
    retry_wait = std::min(retry_wait * 2, kLongestRetry);
    retry_timer.async_wait([this](error_code ec) {
        if (!ec)
            attempt();
    });
}

// Pings and the time-out of an unanswered ping; also a second chance for any readiness missed.
void MqttConnection::keep_alive() {
    keepalive_timer.expires_after(std::chrono::seconds(1));
    keepalive_timer.async_wait([this, gen = generation](error_code ec) {
        if (ec || gen != generation || !session)
            return;
        mosquitto_loop_misc(session.get());
        service();
        if (gen == generation)
            keep_alive();
    });
}

std::optional<int> MqttConnection::publish(const std::string &topic, const std::string &payload,
                                           int qos, bool retain) {
    if (!up || !session)
        return std::nullopt;
    int id = 0;
    const int rc = mosquitto_publish(session.get(), &id, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        log.limited("mqtt:publish:" + std::to_string(rc),
                    "mqtt: cannot publish to " + topic + ": " + mosquitto_strerror(rc));
        return std::nullopt;
    }
    if (mosquitto_want_write(session.get()))
        wait_writable();
    return id;
}

bool MqttConnection::subscribe(const std::string &topic, int qos) {
    if (!up || !session)
        return false;
    const int rc = mosquitto_subscribe(session.get(), nullptr, topic.c_str(), qos);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(session.get()))
        wait_writable();
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttConnection::stop(const std::string &topic, const std::string &payload,
                          std::chrono::milliseconds limit) {
    stopped = true;
    retry_timer.cancel();
    resolver.cancel();
    if (up && session) {
        mosquitto *m = session.get();
        if (!topic.empty())
            mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), 0, true);
        mosquitto_disconnect(m);
        const auto end = std::chrono::steady_clock::now() + limit;
        while (mosquitto_socket(m) >= 0 && mosquitto_want_write(m) &&
               std::chrono::steady_clock::now() < end) {
            pollfd p{mosquitto_socket(m), POLLOUT, 0};
            if (::poll(&p, 1, 50) > 0)
                mosquitto_loop_write(m, 1);
        }
    }
    teardown();
}

void MqttConnection::connected_cb(mosquitto *, void *self, int rc) {
    auto *c = static_cast<MqttConnection *>(self);
    if (rc != 0) {
        c->refusal = std::string("refused: ") +
                     (c->v5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc));
        c->dropped = true;
        return;
    }
    c->up = true;
    c->up_since = std::chrono::steady_clock::now();
    c->log.limited("mqtt:connected", "mqtt: connected to " + c->name());
    c->listener.on_connected();
}

// Only errors: the library's other lines are for its own debugging.
void MqttConnection::log_cb(mosquitto *, void *self, int level, const char *text) {
    if (level == MOSQ_LOG_ERR && text)
        static_cast<MqttConnection *>(self)->last_error = text;
}

void MqttConnection::disconnected_cb(mosquitto *, void *self, int) {
    static_cast<MqttConnection *>(self)->dropped = true;
}

// MQTT 3.1.1 has no reason code: its acknowledgement is always 0, "taken".
void MqttConnection::published_cb(mosquitto *, void *self, int id, int reason_code,
                                  const mosquitto_property *) {
    static_cast<MqttConnection *>(self)->listener.on_delivered(id, reason_code < 0x80);
}

void MqttConnection::message_cb(mosquitto *, void *self, const mosquitto_message *message) {
    const auto *bytes = static_cast<const char *>(message->payload);
    static_cast<MqttConnection *>(self)->listener.on_message(
        message->topic, std::string(bytes ? bytes : "", static_cast<size_t>(message->payloadlen)),
        message->retain);
}

} // namespace host
