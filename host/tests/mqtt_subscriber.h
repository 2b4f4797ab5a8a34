// An MQTT client for tests, on libmosquitto with its own network thread: it connects as one of
// the broker's accounts, subscribes, publishes and keeps what it receives in arrival order.
// Each step waits for the broker's answer, so a test never sleeps to let the network catch up.
//
// The client does not reconnect by itself: once the broker drops it (or stops), a test calls
// connect() again, with the same client id and clean_session false to find its session.
#pragma once

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace testing_host {

struct MqttMessage {
    std::string topic, payload;
    int qos;
    bool retained;
};

class MqttTestClient {
public:
    using Messages = std::vector<MqttMessage>;

    explicit MqttTestClient(const std::string &client_id, bool clean_session = true) {
        library();
        mosq = mosquitto_new(client_id.c_str(), clean_session, this);
        if (!mosq)
            throw std::runtime_error("mosquitto_new failed for " + client_id);
        mosquitto_connect_callback_set(mosq, on_connect);
        mosquitto_disconnect_callback_set(mosq, on_disconnect);
        mosquitto_subscribe_callback_set(mosq, on_subscribe);
        mosquitto_publish_callback_set(mosq, on_publish);
        mosquitto_message_callback_set(mosq, on_message);
    }

    ~MqttTestClient() {
        disconnect();
        mosquitto_destroy(mosq);
    }

    MqttTestClient(const MqttTestClient &) = delete;
    MqttTestClient &operator=(const MqttTestClient &) = delete;

    // Connects to the broker on this machine (anonymously with an empty `user`), over TLS when
    // given the authority to trust, and returns whether the broker accepted the account (false for
    // a refusal, a failed TLS handshake or no answer within the time limit).
    bool connect(int port, const std::string &user, const std::string &password,
                 std::optional<std::string> ca_file = {}) {
        disconnect();
        if (user.empty())
            mosquitto_username_pw_set(mosq, nullptr, nullptr);
        else
            mosquitto_username_pw_set(mosq, user.c_str(), password.c_str());
        if (ca_file && mosquitto_tls_set(mosq, ca_file->c_str(), nullptr, nullptr, nullptr,
                                         nullptr) != MOSQ_ERR_SUCCESS)
            return false;
        const unsigned drops = drops_so_far();
        {
            std::lock_guard<std::mutex> lock(mutex);
            connack = -1;
        }
        if (mosquitto_connect(mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS)
            return false;
        // The handshake runs in this thread: a failed TLS handshake ends the library's own
        // network thread without a callback, which a wait on that thread would not see.
        const auto end = std::chrono::steady_clock::now() + kAnswerTime;
        int rc = MOSQ_ERR_SUCCESS;
        while (rc == MOSQ_ERR_SUCCESS && !answered(drops) && std::chrono::steady_clock::now() < end)
            rc = mosquitto_loop(mosq, 100, 1);
        if (!accepted(drops)) {
            mosquitto_disconnect(mosq);
            return false;
        }
        loop_running = mosquitto_loop_start(mosq) == MOSQ_ERR_SUCCESS;
        return loop_running;
    }

    // Subscribes and returns whether the broker granted the subscription.
    bool subscribe(const std::string &topic, int qos) {
        if (!connected())
            return false;
        const unsigned drops = drops_so_far();
        int mid = 0;
        if (mosquitto_subscribe(mosq, &mid, topic.c_str(), qos) != MOSQ_ERR_SUCCESS)
            return false;
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, kAnswerTime,
                         [&] { return granted.count(mid) || drop_count != drops; });
        const auto it = granted.find(mid);
        if (it == granted.end())
            return false;
        const int qos_granted = it->second;
        granted.erase(it); // message ids come round again
        // 0x80 is the broker's refusal in a SUBACK.
        return qos_granted != 0x80;
    }

    // Publishes; at QoS 1 waits for the broker's PUBACK and returns false when the connection
    // went first. The broker acknowledges a publication the account may not make and then
    // silently drops it (MQTT 3.1.1 has no way to say no), so a denied publication returns true
    // too: whether it was delivered shows only at a subscriber.
    bool publish(const std::string &topic, const std::string &payload, int qos = 1,
                 bool retain = false) {
        if (!connected())
            return false;
        const unsigned drops = drops_so_far();
        int mid = 0;
        if (mosquitto_publish(mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), qos, retain) != MOSQ_ERR_SUCCESS)
            return false;
        if (qos == 0)
            return true;
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, kAnswerTime,
                         [&] { return acked.count(mid) || drop_count != drops; });
        return acked.erase(mid) > 0; // message ids come round again
    }

    // Says goodbye to the broker and stops the network thread.
    void disconnect() {
        if (!loop_running)
            return;
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, false);
        loop_running = false;
    }

    bool connected() const {
        std::lock_guard<std::mutex> lock(mutex);
        return connack == 0 && is_connected;
    }

    Messages messages() const {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

    // Waits until `done` holds for the messages received so far (in order), at most `timeout`.
    bool wait_for(const std::function<bool(const Messages &)> &done,
                  std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return done(received); });
    }

    // The payload of the first message received on `topic`, waiting for one up to `timeout`.
    std::optional<std::string> wait_for_topic(const std::string &topic,
                                              std::chrono::milliseconds timeout) {
        std::optional<std::string> payload;
        wait_for(
            [&](const Messages &all) {
                for (const auto &m : all)
                    if (m.topic == topic) {
                        payload = m.payload;
                        return true;
                    }
                return false;
            },
            timeout);
        return payload;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        received.clear();
    }

private:
    static constexpr std::chrono::seconds kAnswerTime{10};

    static void library() {
        // Once per program; never cleaned up, as clients may live until exit.
        static const int ready = mosquitto_lib_init();
        (void)ready;
    }

    unsigned drops_so_far() const {
        std::lock_guard<std::mutex> lock(mutex);
        return drop_count;
    }

    bool answered(unsigned drops) const {
        std::lock_guard<std::mutex> lock(mutex);
        return connack >= 0 || drop_count != drops;
    }

    bool accepted(unsigned drops) const {
        std::lock_guard<std::mutex> lock(mutex);
        return connack == 0 && drop_count == drops;
    }

    static MqttTestClient &self(void *obj) { return *static_cast<MqttTestClient *>(obj); }

    static void on_connect(mosquitto *mosq, void *obj, int rc) {
        auto &c = self(obj);
        {
            std::lock_guard<std::mutex> lock(c.mutex);
            c.connack = rc;
            c.is_connected = rc == 0;
        }
        // A refused account: end the network thread rather than let it try again.
        if (rc != 0)
            mosquitto_disconnect(mosq);
        c.changed.notify_all();
    }

    static void on_disconnect(mosquitto *mosq, void *obj, int) {
        auto &c = self(obj);
        {
            std::lock_guard<std::mutex> lock(c.mutex);
            c.is_connected = false;
            ++c.drop_count;
        }
        // Marks the client as disconnected on purpose, so that the network thread ends here
        // instead of reconnecting after its delay.
        mosquitto_disconnect(mosq);
        c.changed.notify_all();
    }

    static void on_subscribe(mosquitto *, void *obj, int mid, int count, const int *qos) {
        auto &c = self(obj);
        {
            std::lock_guard<std::mutex> lock(c.mutex);
            c.granted[mid] = count > 0 ? qos[0] : 0x80;
        }
        c.changed.notify_all();
    }

    static void on_publish(mosquitto *, void *obj, int mid) {
        auto &c = self(obj);
        {
            std::lock_guard<std::mutex> lock(c.mutex);
            c.acked.insert(mid);
        }
        c.changed.notify_all();
    }

    static void on_message(mosquitto *, void *obj, const mosquitto_message *m) {
        auto &c = self(obj);
        {
            std::lock_guard<std::mutex> lock(c.mutex);
            const auto *bytes = static_cast<const char *>(m->payload);
            c.received.push_back(
                {m->topic,
                 bytes ? std::string(bytes, static_cast<size_t>(m->payloadlen)) : std::string(),
                 m->qos, m->retain});
        }
        c.changed.notify_all();
    }

    mosquitto *mosq = nullptr;
    bool loop_running = false;
    mutable std::mutex mutex;
    std::condition_variable changed;
    int connack = -1;
    bool is_connected = false;
    unsigned drop_count = 0;
    std::map<int, int> granted;
    std::set<int> acked;
    Messages received;
};

} // namespace testing_host
