// The reference host against a real broker: what it publishes, what survives the broker's
// absence, and which control requests reach the power system. The host runs as its own process
// (so that it can be killed), polling the simulator in its process; the line is recorded so
// that "nothing was sent" is read off the bytes, not taken on trust.
#include "capture/format.h"
#include "host/block/block_fields.h"
#include "host/common/catalogue.h"
#include "host/mqtt/mqtt_client.h"
#include "host/mqtt/mqtt_publisher.h"
#include "host/tests/child_process.h"
#include "host/tests/mqtt_broker.h"
#include "host/tests/mqtt_subscriber.h"
#include "host/tests/plugin_path.h"

#include <json/reader.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testing_host::ChildProcess;
using testing_host::MqttBroker;
using testing_host::MqttMessage;
using testing_host::MqttTestClient;
using Messages = MqttTestClient::Messages;

constexpr const char *kMainsFailure = "220600140010";
constexpr auto kLong = 30000ms; // a safety net only: every wait ends as soon as it is satisfied

Json::Value parse(const std::string &text) {
    Json::CharReaderBuilder builder;
    Json::Value v;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors))
        << errors << "\n  in: " << text;
    return v;
}

// The documents published on `topic`; an empty payload clears a retained one and is none.
std::vector<Json::Value> payloads_on(const Messages &all, const std::string &topic) {
    std::vector<Json::Value> out;
    for (const auto &m : all)
        if (m.topic == topic && !m.payload.empty())
            out.push_back(parse(m.payload));
    return out;
}

// The mains-failure events, in the order received.
std::vector<Json::Value> mains_events(const Messages &all, const std::string &topic) {
    std::vector<Json::Value> out;
    for (const auto &e : payloads_on(all, topic))
        if (e["signal_id"].asString() == kMainsFailure)
            out.push_back(e);
    return out;
}

// The payload last received on `topic`, or nothing.
std::optional<std::string> last_on(const Messages &all, const std::string &topic) {
    for (auto m = all.rbegin(); m != all.rend(); ++m)
        if (m->topic == topic)
            return m->payload;
    return std::nullopt;
}

// The newest message of every topic under `head`, without those cleared (empty).
std::map<std::string, MqttMessage> newest_under(const Messages &all, const std::string &head) {
    std::map<std::string, MqttMessage> out;
    for (const auto &m : all)
        if (m.topic.rfind(head, 0) == 0)
            out[m.topic] = m;
    for (auto it = out.begin(); it != out.end();)
        it = it->second.payload.empty() ? out.erase(it) : std::next(it);
    return out;
}

// "rc_channels[2].out_i" in a document: null when any step of the path is missing.
Json::Value at_path(Json::Value doc, const std::string &path) {
    std::istringstream steps(path);
    std::string step;
    while (std::getline(steps, step, '.')) {
        const size_t bracket = step.find('[');
        doc = doc.isObject() ? doc[step.substr(0, bracket)] : Json::Value();
        if (bracket != std::string::npos && step[bracket + 1] == '\'') { // setpoints['name']
            const std::string key = step.substr(bracket + 2, step.rfind('\'') - bracket - 2);
            doc = doc.isObject() ? doc[key] : Json::Value();
        } else if (bracket != std::string::npos) {
            const auto index = static_cast<Json::ArrayIndex>(std::stoul(step.substr(bracket + 1)));
            doc = doc.isArray() && index < doc.size() ? doc[index] : Json::Value();
        }
    }
    return doc;
}

// Commands of one kind (CID1, CID2 as the frame's hex text) the host put on the line.
size_t commands_sent(const std::string &capture, const char *cid1, const char *cid2) {
    size_t count = 0;
    for (const auto &r : capture::read_capture(capture).records) {
        if (r.direction != capture::CaptureRecord::Direction::Sent)
            continue;
        for (size_t at = r.bytes.find('~'); at != std::string::npos; at = r.bytes.find('~', at + 1))
            if (r.bytes.compare(at + 5, 2, cid1) == 0 && r.bytes.compare(at + 7, 2, cid2) == 0)
                ++count;
    }
    return count;
}

struct MqttHostTest : ::testing::Test {
    void SetUp() override {
        NEEDS_PLUGIN();
        broker.start();
    }

    // A power system whose mains fail in round 3 and return in round 6, polled ten times a second.
    std::string config(const std::string &name, unsigned fail_round = 3,
                       unsigned return_round = 6) {
        const std::string path = broker.dir() + "/" + name + ".json";
        std::ofstream(path) << R"({"devices": [{"port": "sim", "data_id": 1, "interval": 0.1,
            "alarm_settings": {")"
                            << kMainsFailure << R"(": 1}, "sim": {"events": [{"round": )"
                            << fail_round << R"(, "event": "mains_fail"}, {"round": )"
                            << return_round << R"(, "event": "mains_return"}]}}]})";
        return path;
    }

    std::vector<std::string> host_args(const std::string &config_file,
                                       std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {HOST_PROGRAM,
                                         "--plugin",
                                         testing_host::plugin_path(),
                                         "--config",
                                         config_file,
                                         "--json",
                                         "--mqtt",
                                         "mqtt://127.0.0.1:" + std::to_string(broker.port()),
                                         "--mqtt-user",
                                         "host",
                                         "--mqtt-password-file",
                                         broker.password_file_for("host"),
                                         "--mqtt-prefix",
                                         "site"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // A client of `user` that has subscribed to `topic` (QoS 1).
    std::unique_ptr<MqttTestClient> subscriber(const std::string &id, const std::string &topic,
                                               const std::string &user = "viewer",
                                               bool clean = true) {
        auto c = std::make_unique<MqttTestClient>(id, clean);
        EXPECT_TRUE(c->connect(broker.port(), user, user + "-secret"));
        EXPECT_TRUE(c->subscribe(topic, 1));
        return c;
    }

    // Reads the host's output until a line holds every one of `parts`, for at most kLong.
    static bool wait_for_output(ChildProcess &p, std::vector<std::string> parts) {
        const auto end = std::chrono::steady_clock::now() + kLong;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            const std::string line = left.count() > 0 ? p.first_line(left) : "";
            if (line.empty())
                return false;
            if (std::all_of(parts.begin(), parts.end(), [&](const std::string &s) {
                    return line.find(s) != std::string::npos;
                }))
                return true;
        }
    }

    void events_outlast_the_broker(bool up_at_start);

    // A host whose standard output goes nowhere, so that a long run never fills a pipe.
    static std::unique_ptr<ChildProcess> quiet_host(std::vector<std::string> args) {
        args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/null"});
        return std::make_unique<ChildProcess>(args);
    }

    // A configuration of `devices`, each a JSON object without its braces.
    std::string fleet(const std::string &name, const std::vector<std::string> &devices) {
        const std::string path = broker.dir() + "/" + name + ".json";
        std::ofstream out(path);
        out << R"({"devices": [)";
        for (size_t i = 0; i < devices.size(); ++i)
            out << (i ? ", {" : "{") << devices[i] << "}";
        out << "]}";
        return path;
    }

    MqttBroker broker{"site"};
};

// Every round's whole state, as asked for: without a heartbeat and with the block's hex and units.
TEST_F(MqttHostTest, StateAlarmsAndEventsArriveAsDocumented) {
    auto viewer = subscriber("viewer-1", "site/#");
    const std::string capture = broker.dir() + "/line.capture";
    ChildProcess host(host_args(config("plain"), {"--rounds", "10", "--capture", capture,
                                                  "--mqtt-heartbeat", "0", "--mqtt-full-state"}));
    // Control is off unless asked for: an operator's request finds no one listening.
    ASSERT_TRUE(viewer->wait_for_topic("site/1/state", kLong));
    MqttTestClient op("operator-1");
    ASSERT_TRUE(op.connect(broker.port(), "operator", "operator-secret"));
    ASSERT_TRUE(op.publish("site/1/control", R"({"id": "o1", "request": "419500200002"})"));
    const auto r = host.finish(kLong);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(commands_sent(capture, "41", "45"), 0u);
    // The host stopped cleanly: "offline" is the last word on its status.
    ASSERT_TRUE(viewer->wait_for(
        [](const Messages &all) {
            const auto status = std::find_if(all.rbegin(), all.rend(), [](const MqttMessage &m) {
                return m.topic == "site/status";
            });
            return status != all.rend() && status->payload == "offline";
        },
        kLong));
    const Messages all = viewer->messages();
    std::vector<std::string> status;
    for (const auto &m : all)
        if (m.topic == "site/status")
            status.push_back(m.payload);
    EXPECT_EQ(status.front(), "online");

    // Ten blocks, each decoded with names, units and the round's figures.
    const auto states = payloads_on(all, "site/1/state");
    ASSERT_EQ(states.size(), 10u);
    const Json::Value &last = states.back();
    EXPECT_EQ(last["data_id"].asUInt(), 1u);
    EXPECT_EQ(last["poll"]["round"].asUInt(), 10u);
    EXPECT_NEAR(last["dcData"]["voltage"].asDouble(), 53.0, 2.0);
    EXPECT_EQ(last["units"]["dcData"]["voltage"].asString(), "V");
    EXPECT_EQ(last["units"]["ac_channels"]["f"].asString(), "Hz");
    EXPECT_FALSE(last["block"].asString().empty());
    EXPECT_EQ(last["dcData"]["m_values"].size(), last["dcData"]["m_count"].asUInt());
    EXPECT_EQ(last["time"].asString().size(), 25u); // 2026-12-08T14:54:04+01:00

    // The alarm set: empty, then the mains failure with its time, then empty again.
    const auto alarm_sets = payloads_on(all, "site/1/alarms");
    ASSERT_GE(alarm_sets.size(), 3u);
    EXPECT_EQ(alarm_sets.front()["active"].size(), 0u);
    const auto raised = std::find_if(alarm_sets.begin(), alarm_sets.end(), [](const auto &a) {
        return a["active"].size() == 1 && a["active"][0]["signal_id"].asString() == kMainsFailure;
    });
    ASSERT_NE(raised, alarm_sets.end());
    EXPECT_EQ((*raised)["active"][0]["since"].asString().size(), 24u); // 2026-12-08T21:40:03.125Z
    EXPECT_FALSE((*raised)["active"][0]["text"].asString().empty());
    EXPECT_EQ((*raised)["active"][0]["name"].asString(), "AC input power failure");
    EXPECT_EQ(alarm_sets.back()["active"].size(), 0u);

    // Two events, in order, QoS 1 and not retained, numbered.
    const auto events = mains_events(all, "site/1/events");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["event"].asString(), "alarm");
    EXPECT_EQ(events[0]["state"].asString(), "raised");
    EXPECT_EQ(events[1]["state"].asString(), "cleared");
    EXPECT_EQ(events[1]["name"].asString(), "AC input power failure");
    EXPECT_LT(events[0]["seq"].asInt64(), events[1]["seq"].asInt64());
    EXPECT_LE(events[0]["time"].asString(), events[1]["time"].asString());
    for (const auto &m : all) {
        if (m.topic == "site/1/events") {
            EXPECT_EQ(m.qos, 1);
            EXPECT_FALSE(m.retained);
        }
        EXPECT_NE(m.topic, "site/1/result");
    }

    // A late subscriber finds the newest state, the alarm set and the status kept for it.
    auto late = subscriber("viewer-2", "site/#");
    ASSERT_TRUE(late->wait_for(
        [](const Messages &m) {
            return payloads_on(m, "site/1/state").size() == 1 &&
                   payloads_on(m, "site/1/alarms").size() == 1 &&
                   std::any_of(m.begin(), m.end(),
                               [](const MqttMessage &x) { return x.topic == "site/status"; });
        },
        kLong));
    for (const auto &m : late->messages())
        EXPECT_TRUE(m.retained) << m.topic;
    EXPECT_EQ(payloads_on(late->messages(), "site/1/state")[0]["poll"]["round"].asUInt(), 10u);
}

// Unless asked otherwise a state goes out when it changed, without the block's hex and the
// units: the first round's, the mains failure's and the return's, and not every round's.
TEST_F(MqttHostTest, TheStateGoesOutWhenItChanges) {
    auto viewer = subscriber("viewer-1", "site/#");
    ChildProcess host(host_args(config("on-change"), {"--rounds", "12"}));
    const auto r = host.finish(kLong);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(viewer->wait_for(
        [](const Messages &m) { return last_on(m, "site/status") == "offline"; }, kLong));
    const auto states = payloads_on(viewer->messages(), "site/1/state");
    ASSERT_FALSE(states.empty());
    EXPECT_LT(states.size(), 12u);
    EXPECT_EQ(states.front()["poll"]["round"].asUInt(), 1u);
    const auto mains = [](const Json::Value &s) { return s["ac_channels"][0]["ua"].asDouble(); };
    const auto failed = std::find_if(states.begin(), states.end(),
                                     [&](const Json::Value &s) { return mains(s) == 0.0; });
    ASSERT_NE(failed, states.end());
    EXPECT_TRUE(
        std::any_of(failed, states.end(), [&](const Json::Value &s) { return mains(s) > 200.0; }));
    for (const auto &s : states) {
        EXPECT_FALSE(s.isMember("block"));
        EXPECT_FALSE(s.isMember("units"));
        EXPECT_EQ(s["comm_status"].asString(), "ok");
    }
}

TEST_F(MqttHostTest, TheLastWillSaysOfflineWhenTheHostIsKilled) {
    auto viewer = subscriber("viewer-1", "site/status");
    ChildProcess host(host_args(config("will")));
    ASSERT_TRUE(viewer->wait_for(
        [](const Messages &m) { return !m.empty() && m.back().payload == "online"; }, kLong));
    host.signal(SIGKILL);
    host.finish(kLong);
    ASSERT_TRUE(viewer->wait_for(
        [](const Messages &m) { return !m.empty() && m.back().payload == "offline"; }, kLong))
        << broker.log();
}

// The broker is away while the mains fail and return: both events wait in the history and
// reach a subscriber's persistent session, in order and with the times they happened, once the
// broker is back; the state is published again. The broker is gone either before the host
// starts or from under a host connected to it.
void MqttHostTest::events_outlast_the_broker(bool up_at_start) {
    const std::string history = broker.dir() + "/history.db";
    {
        auto away = subscriber("operations-desk", "site/+/events", "viewer", false);
        away->disconnect();
    }
    std::unique_ptr<ChildProcess> host;
    if (up_at_start) {
        auto status = subscriber("viewer-0", "site/status");
        // Two seconds before the mains fail: time enough to take the broker away.
        host = std::make_unique<ChildProcess>(
            host_args(config("connected", 20, 30), {"--history", history}));
        ASSERT_TRUE(status->wait_for_topic("site/status", kLong));
    }
    broker.stop();
    if (!up_at_start)
        host = std::make_unique<ChildProcess>(host_args(config("away"), {"--history", history}));
    ASSERT_TRUE(wait_for_output(*host, {"\"alarm\":\"raised\"", kMainsFailure}));
    ASSERT_TRUE(wait_for_output(*host, {"\"alarm\":\"cleared\"", kMainsFailure}));
    const std::string broker_back = host::utc_time_text();
    broker.start();

    auto desk = std::make_unique<MqttTestClient>("operations-desk", false);
    ASSERT_TRUE(desk->connect(broker.port(), "viewer", "viewer-secret"));
    ASSERT_TRUE(desk->wait_for(
        [](const Messages &m) { return mains_events(m, "site/1/events").size() >= 2; }, kLong))
        << broker.log();
    const auto events = mains_events(desk->messages(), "site/1/events");
    EXPECT_EQ(events[0]["state"].asString(), "raised");
    EXPECT_EQ(events[1]["state"].asString(), "cleared");
    EXPECT_EQ(events[1]["name"].asString(), "AC input power failure");
    EXPECT_LT(events[0]["seq"].asInt64(), events[1]["seq"].asInt64());
    EXPECT_LE(events[0]["time"].asString(), events[1]["time"].asString());
    // They happened before the broker came back: their times are their own.
    EXPECT_LE(events[1]["time"].asString(), broker_back);

    // A state published since the broker came back.
    auto viewer = subscriber("viewer-1", "site/1/state");
    EXPECT_TRUE(viewer->wait_for(
        [&](const Messages &m) {
            const auto states = payloads_on(m, "site/1/state");
            return !states.empty() && states.back()["published"].asString() > broker_back;
        },
        kLong));
    host->signal(SIGTERM);
    EXPECT_EQ(host->finish(kLong).exit_code, 0);
}

TEST_F(MqttHostTest, EventsWaitForABrokerThatIsNotThereAtStart) {
    events_outlast_the_broker(false);
}

TEST_F(MqttHostTest, EventsWaitForABrokerThatGoesAway) {
    events_outlast_the_broker(true);
}

// Past its bound the backlog drops the oldest events, and the next one delivered says how many
// went before it.
TEST_F(MqttHostTest, AFullBacklogDropsTheOldestAndSaysSo) {
    {
        auto away = subscriber("operations-desk", "site/+/events", "viewer", false);
        away->disconnect();
    }
    broker.stop();
    ChildProcess host(host_args(config("full"), {"--mqtt-backlog", "1"}));
    ASSERT_TRUE(wait_for_output(host, {"\"alarm\":\"cleared\"", kMainsFailure}));
    broker.start();
    MqttTestClient desk("operations-desk", false);
    ASSERT_TRUE(desk.connect(broker.port(), "viewer", "viewer-secret"));
    ASSERT_TRUE(desk.wait_for(
        [](const Messages &m) { return !mains_events(m, "site/1/events").empty(); }, kLong));
    host.signal(SIGTERM);
    const auto r = host.finish(kLong);
    const auto events = mains_events(desk.messages(), "site/1/events");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["state"].asString(), "cleared");
    EXPECT_EQ(events[0]["dropped_before"].asInt(), 1);
    EXPECT_NE(r.err.find("mqtt: event backlog full (1 events): the oldest are dropped"),
              std::string::npos)
        << r.err;
}

// Only the operator account may control, only on the control topics, only with requests of the
// driver's exact form; everything else leaves the line untouched.
TEST_F(MqttHostTest, ControlRequestsNeedTheRightAccountTopicAndForm) {
    const std::string capture = broker.dir() + "/line.capture";
    const std::string history = broker.dir() + "/history.db";
    auto results = subscriber("viewer-1", "site/1/#");
    auto result_count = [&] { return payloads_on(results->messages(), "site/1/result").size(); };
    auto last_result = [&] { return payloads_on(results->messages(), "site/1/result").back(); };

    // A request left retained on the broker before the host came would be carried out at every
    // connection: it is refused.
    MqttTestClient op("operator-1");
    ASSERT_TRUE(op.connect(broker.port(), "operator", "operator-secret"));
    ASSERT_TRUE(
        op.publish("site/1/control", R"({"id": "stale", "request": "419500200002"})", 1, true));
    // The mains never fail here: the scenario's rounds lie far beyond the run.
    ChildProcess host(host_args(config("control", 100000, 100001),
                                {"--mqtt-control", "--capture", capture, "--history", history}));
    ASSERT_TRUE(results->wait_for(
        [](const Messages &m) { return !payloads_on(m, "site/1/result").empty(); }, kLong));
    EXPECT_EQ(last_result()["outcome"].asString(), "refused");
    EXPECT_EQ(last_result()["reason"].asString(), "a retained request is not carried out");
    EXPECT_EQ(last_result()["id"].asString(), "stale");
    ASSERT_TRUE(op.publish("site/1/control", "", 1, true)); // clears the retained message

    // A wrong password is refused at the door.
    MqttTestClient intruder("intruder");
    EXPECT_FALSE(intruder.connect(broker.port(), "operator", "guess"));

    // A viewer's request, and the operator's on a topic outside the ACL, are dropped by the
    // broker. The operator's request after them is answered, and so is known to come later.
    MqttTestClient viewer("viewer-2");
    ASSERT_TRUE(viewer.connect(broker.port(), "viewer", "viewer-secret"));
    EXPECT_TRUE(viewer.publish("site/1/control", R"({"id": "v1", "request": "419500200002"})"));
    EXPECT_TRUE(op.publish("site/1/events", R"({"id": "o0", "request": "419500200002"})"));
    EXPECT_TRUE(op.publish("site/1/set", R"({"id": "o1", "signal_id": "float-voltage",
                                             "SetValue": 54.25})"));
    ASSERT_TRUE(results->wait_for(
        [](const Messages &m) { return payloads_on(m, "site/1/result").size() == 2; }, kLong));
    EXPECT_EQ(last_result()["id"].asString(), "o1");
    EXPECT_EQ(last_result()["outcome"].asString(), "answered") << last_result().toStyledString();
    EXPECT_EQ(last_result()["request"].asString(),
              R"({"SetValue":54.25,"signal_id":"4196A3201001"})"); // what the driver was handed
    // The simulator took the new float voltage: the next blocks carry it.
    ASSERT_TRUE(results->wait_for(
        [](const Messages &m) {
            const auto states = payloads_on(m, "site/1/state");
            return !states.empty() && states.back()["param47_a"].asUInt() == 5425;
        },
        kLong));

    // Malformed, oversized, of another form, refused by the driver: refused, nothing sent. Each
    // is answered before the next goes, so that none can be busy.
    struct Bad {
        const char *topic;
        std::string payload;
        const char *reason; // how the reason begins
    };
    // Blanks before the closing brace stretch a request to any length and keep it well-formed.
    const auto stretched = [](std::string request, size_t size) {
        request.insert(request.size() - 1, size - request.size(), ' ');
        return request;
    };
    const std::string unknown_signal =
        R"({"id": "m8", "signal_id": "999999999999", "SetValue": 50})";
    const Bad bad[] = {
        {"site/1/control", R"({"id": "m1", "request": )", "malformed JSON"},
        {"site/1/control", R"({"id": "m2", "request": ")" + std::string(600, '4') + "\"}",
         "payload of 627 bytes, more than 512"},
        {"site/1/control", R"({"id": "m3", "request": "419500200002", "force": "yes"})",
         "expected {\"id\": ID, \"request\""},
        {"site/1/control", R"({"id": "m4", "request": "419500200256"})",
         "expected {\"id\": ID, \"request\""},
        {"site/1/control", R"({"id": ["m5"], "request": "419500200002"})", "expected an \"id\""},
        {"site/1/set", R"({"id": "m6", "signal_id": "4196A3201001", "SetValue": true})",
         "expected {\"id\": ID, \"signal_id\""},
        // The driver's own rule, judged before the line: hex is no decimal number.
        {"site/1/set", R"({"id": "m6", "signal_id": "4196A3201001", "SetValue": "0x20"})",
         "expected {\"id\": ID, \"signal_id\""},
        {"site/1/set", R"({"id": "m7", "signal_id": "999999999999", "SetValue": 50})",
         "refused by the driver: nothing sent"},
        // The largest payload taken is read to the end and reaches the driver; one byte more is
        // refused unread.
        {"site/1/set", stretched(unknown_signal, 512), "refused by the driver: nothing sent"},
        {"site/1/set", stretched(unknown_signal, 513), "payload of 513 bytes, more than 512"},
        {"site/1/control", R"(["419500200002"])", "expected a JSON object"},
        // What would black out the site, or set a voltage no healthy plant runs at, waits for
        // its confirmation, by name or raw.
        {"site/1/control", R"({"id": "s1", "request": "module-off:0"})",
         "module-off:0 switches every rectifier module off: add \"all_modules\": true to confirm"},
        {"site/1/control", R"({"id": "s2", "request": "4195002000", "all_modules": false})",
         "module-off:0 switches every rectifier module off"},
        {"site/1/set", R"({"id": "s3", "signal_id": "float-voltage", "SetValue": 70})",
         "float-voltage 70 V is outside 42 to 58 V: add \"force\": true to send it"},
        {"site/1/control", R"({"id": "s4", "request": "module-off:0", "all_modules": 1})",
         "expected {\"id\": ID, \"request\""},
        // A module the power system does not have, judged by its last block.
        {"site/1/control", R"({"id": "s5", "request": "module-on:9"})",
         "module-on:9: the power system has modules 1 to 3: add \"force\": true to send it"},
        // Requests are strict JSON; an id is plain text, shown in listings and echoed back.
        {"site/1/control", R"({"id": "c1" /* comment */, "request": "419500200002"})",
         "malformed JSON"},
        {"site/1/control", R"({"id": "i1\u001b[2J\r\nforged", "request": "419500200002"})",
         "expected an \"id\""},
        {"site/1/control", "{\"id\": \"\xff\xfe\", \"request\": \"419500200002\"}",
         "expected an \"id\""},
        {"site/1/control", "{\"id\": \"r\x1b[31m\r\nforged line\"}", "malformed JSON"},
    };
    for (const Bad &b : bad) {
        const size_t before = result_count();
        ASSERT_TRUE(op.publish(b.topic, b.payload));
        ASSERT_TRUE(results->wait_for(
            [&](const Messages &m) { return payloads_on(m, "site/1/result").size() > before; },
            kLong))
            << b.payload;
        EXPECT_EQ(last_result()["outcome"].asString(), "refused") << b.payload;
        EXPECT_EQ(last_result()["reason"].asString().rfind(b.reason, 0), 0u)
            << last_result()["reason"].asString();
    }
    // A payload far past what a request can be is never handed to the host: the broker is asked
    // for no packet that large, and drops it. The refusal after it is the only one answered.
    const size_t before_large = result_count();
    ASSERT_TRUE(op.publish("site/1/control", std::string(1 << 20, ' ')));
    ASSERT_TRUE(op.publish("site/1/control", "[]"));
    ASSERT_TRUE(results->wait_for(
        [&](const Messages &m) { return payloads_on(m, "site/1/result").size() > before_large; },
        kLong));
    EXPECT_EQ(last_result()["request"].asString(), "[]");
    const size_t requests = result_count();
    EXPECT_EQ(requests, before_large + 1);

    host.signal(SIGTERM);
    const auto r = host.finish(kLong);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // On the line: the one setting, and no remote control at all.
    EXPECT_EQ(commands_sent(capture, "42", "49"), 1u);
    EXPECT_EQ(commands_sent(capture, "41", "45"), 0u);

    // Every request that reached the host is in the history, with its source and outcome.
    ChildProcess report({HOST_PROGRAM, "history", "--history", history, "--requests", "--json"});
    const auto listed = report.finish(kLong).out;
    size_t lines = 0, answered = 0;
    for (size_t at = 0; at < listed.size();) {
        const size_t nl = listed.find('\n', at);
        const Json::Value row = parse(listed.substr(at, nl - at));
        EXPECT_EQ(row["source"].asString(), "mqtt");
        answered += row["outcome"].asString() == "answered";
        ++lines;
        at = nl == std::string::npos ? listed.size() : nl + 1;
    }
    EXPECT_EQ(lines, requests);
    EXPECT_EQ(answered, 1u);
    // The listing shows what the requests held, but drives no terminal and forges no line.
    ChildProcess text({HOST_PROGRAM, "history", "--history", history, "--requests"});
    const auto shown = text.finish(kLong).out;
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), static_cast<long>(requests));
    EXPECT_EQ(shown.find_first_of("\x1b\r"), std::string::npos);
    EXPECT_NE(shown.find("r\\x1b[31m\\x0d\\x0aforged line"), std::string::npos) << shown;
}

// A broker that takes every session and drops it at once: the host tries again as slowly as for
// one that refuses it (1 s, 2 s, 4 s ...), and says so once, not twice a try.
TEST(MqttConnection, SessionsDroppedAtOnceAreTriedAgainWithBackOff) {
    namespace asio = boost::asio;
    asio::io_context broker_io;
    asio::ip::tcp::acceptor acceptor(broker_io, {asio::ip::make_address("127.0.0.1"), 0});
    std::atomic<int> sessions{0};
    std::atomic<bool> stopping{false};
    std::thread broker([&] {
        for (;;) {
            asio::ip::tcp::socket s(broker_io);
            boost::system::error_code ec;
            acceptor.accept(s, ec);
            if (ec || stopping)
                return;
            char connect[256];
            s.read_some(asio::buffer(connect), ec);
            const unsigned char connack[] = {0x20, 0x03, 0x00, 0x00, 0x00}; // MQTT 5: accepted
            asio::write(s, asio::buffer(connack), ec);
            ++sessions;
        }
    });
    std::FILE *told = std::tmpfile();
    {
        struct Quiet : host::MqttConnection::Listener {
            void on_connected() override {}
            void on_connection_lost() override {}
            void on_delivered(int, bool) override {}
            void on_message(const std::string &, const std::string &, bool) override {}
        } listener;
        asio::io_context io;
        host::Log log(told);
        host::MqttLogin login;
        login.client_id = "back-off";
        host::MqttConnection c(io, log, {"127.0.0.1", acceptor.local_endpoint().port(), false},
                               login, listener);
        c.start();
        io.run_for(4500ms); // tries at 0, 1 and 3 s; every second, it would be five
    }
    stopping = true;
    asio::ip::tcp::socket wake(broker_io); // the blocking accept ends with this connection
    wake.connect(acceptor.local_endpoint());
    broker.join();
    EXPECT_GE(sessions.load(), 2);
    EXPECT_LE(sessions.load(), 3);
    std::rewind(told);
    int lines = 0;
    for (int c; (c = std::fgetc(told)) != EOF;)
        lines += c == '\n';
    std::fclose(told);
    EXPECT_LE(lines, 2); // connected, lost: each once in the minute
}

TEST_F(MqttHostTest, ATlsBrokerIsReachedOnlyWithItsAuthority) {
    MqttBroker secure{"site", testing_host::Tls::On};
    secure.start();
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(secure.port());
    auto args = [&](bool with_ca) {
        std::vector<std::string> a = {HOST_PROGRAM,
                                      "--plugin",
                                      testing_host::plugin_path(),
                                      "--config",
                                      config("tls"),
                                      "--json",
                                      "--mqtt",
                                      url,
                                      "--mqtt-user",
                                      "host",
                                      "--mqtt-password-file",
                                      secure.password_file_for("host"),
                                      "--mqtt-prefix",
                                      "site"};
        if (with_ca) {
            a.push_back("--mqtt-ca");
            a.push_back(secure.ca_file());
        }
        return a;
    };
    MqttTestClient viewer("viewer-1");
    ASSERT_TRUE(viewer.connect(secure.port(), "viewer", "viewer-secret", secure.ca_file()));
    ASSERT_TRUE(viewer.subscribe("site/1/state", 1));

    // Without the authority the certificate is not trusted: the host says so and goes on polling.
    {
        ChildProcess host(args(false));
        ASSERT_TRUE(wait_for_output(host, {"\"round\":3"}));
        host.signal(SIGTERM);
        const auto r = host.finish(kLong);
        EXPECT_NE(r.err.find("mqtt: cannot connect to mqtts://127.0.0.1"), std::string::npos)
            << r.err;
        EXPECT_TRUE(viewer.messages().empty());
    }
    ChildProcess host(args(true));
    EXPECT_TRUE(viewer.wait_for_topic("site/1/state", kLong)) << secure.log();
}

// A subscriber tells a lost device from a healthy one by retained messages alone: a host killed
// leaves its devices "online" behind its will, the next run says "offline" for a port that
// cannot be opened within one round's time-out, a device that falls silent keeps its last state
// marked lost, and a clean stop leaves every device offline.
TEST_F(MqttHostTest, ALostDeviceIsOfflineOnTheBrokerForALateSubscriber) {
    const std::vector<std::string> healthy = {R"("port": "sim:a", "data_id": 1, "interval": 0.1)",
                                              R"("port": "sim:b", "data_id": 2, "interval": 0.1)",
                                              R"("port": "sim:c", "data_id": 3, "interval": 0.1)"};
    auto viewer = subscriber("viewer-1", "site/#");
    auto first = quiet_host(host_args(fleet("healthy", healthy)));
    const auto all_online = [](const Messages &m) {
        for (const char *id : {"1", "2", "3"})
            if (last_on(m, std::string("site/") + id + "/availability") != "online")
                return false;
        return true;
    };
    ASSERT_TRUE(viewer->wait_for(all_online, kLong));
    first->signal(SIGKILL);
    first->finish(kLong);
    ASSERT_TRUE(viewer->wait_for(
        [](const Messages &m) { return last_on(m, "site/status") == "offline"; }, kLong));

    // A round of device 1 takes at most its interval and its reply time-out: 1 s.
    const std::vector<std::string> troubled = {
        R"("port": "/nonexistent/ttyUSB9", "data_id": 1, "interval": 0.5, "timeout": 0.5)",
        R"("port": "sim:b", "data_id": 2, "interval": 0.1, "timeout": 0.2,
           "sim": {"faults": ["silence:rounds=5-10000"]})",
        healthy[2]};
    viewer->clear();
    auto second = quiet_host(host_args(fleet("troubled", troubled)));
    ASSERT_TRUE(viewer->wait_for(
        [](const Messages &m) { return last_on(m, "site/status") == "online"; }, kLong));
    EXPECT_TRUE(viewer->wait_for(
        [](const Messages &m) { return last_on(m, "site/1/availability") == "offline"; }, 1000ms));
    ASSERT_TRUE(viewer->wait_for(
        [](const Messages &m) {
            for (const char *id : {"1", "2"}) {
                const auto alarms = last_on(m, std::string("site/") + id + "/alarms");
                if (!alarms || parse(*alarms)["communication"] != "lost")
                    return false;
            }
            return true;
        },
        kLong));

    auto late = subscriber("viewer-2", "site/#");
    ASSERT_TRUE(late->wait_for(
        [](const Messages &m) { return newest_under(m, "site/").size() >= 9; }, kLong));
    const auto kept = newest_under(late->messages(), "site/");
    auto payload = [&](const std::string &topic) {
        const auto found = kept.find(topic);
        return found == kept.end() ? std::string("(none)") : found->second.payload;
    };
    EXPECT_EQ(payload("site/status"), "online");
    EXPECT_EQ(payload("site/1/availability"), "offline");
    EXPECT_EQ(payload("site/2/availability"), "offline");
    EXPECT_EQ(payload("site/3/availability"), "online");
    // No state of device 1 from this run, and the earlier run's is gone.
    EXPECT_EQ(kept.count("site/1/state"), 0u);
    EXPECT_EQ(parse(payload("site/2/state"))["comm_status"].asString(), "lost");
    EXPECT_FALSE(parse(payload("site/2/state"))["dcData"].isNull()); // the last values, marked
    EXPECT_EQ(parse(payload("site/3/state"))["comm_status"].asString(), "ok");
    EXPECT_EQ(parse(payload("site/1/alarms"))["communication"].asString(), "lost");
    EXPECT_EQ(parse(payload("site/3/alarms"))["communication"].asString(), "ok");
    EXPECT_TRUE(parse(payload("site/3/alarms"))["active"].isArray());

    second->signal(SIGTERM);
    second->finish(kLong);
    auto after = subscriber("viewer-3", "site/#");
    ASSERT_TRUE(after->wait_for(
        [](const Messages &m) { return newest_under(m, "site/").size() >= 9; }, kLong));
    for (const char *topic :
         {"site/status", "site/1/availability", "site/2/availability", "site/3/availability"})
        EXPECT_EQ(last_on(after->messages(), topic), "offline") << topic;
}

// The table of device classes and units in docs/mqtt.md.
std::set<std::pair<std::string, std::string>> documented_units() {
    std::ifstream in(std::string(HOST_SOURCE_DIR) + "/docs/mqtt.md");
    const std::regex row(R"(^\| `([a-z_]+)` \| `([^`]+)` \|)");
    std::set<std::pair<std::string, std::string>> pairs;
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, m, row))
            pairs.insert({m[1], m[2]});
    return pairs;
}

// What a hub builds from the discovery: entities it can trust, reading paths the state really
// has, sending requests the host really takes; and mqtt-forget takes it all away again.
TEST_F(MqttHostTest, DiscoveryDescribesThePlantAndIsForgotten) {
    const std::string config_file =
        fleet("named", {R"("port": "sim", "data_id": 1, "interval": 0.1, "name": "Site 17")"});
    auto viewer = subscriber("viewer-1", "homeassistant/#");
    ASSERT_TRUE(viewer->subscribe("site/#", 1));
    auto host =
        quiet_host(host_args(config_file, {"--mqtt-discovery", "--mqtt-control", "--mqtt-values"}));
    // The first round's discovery, state, availability and alarms go out in that order, and the
    // messages at QoS 1 arrive in it.
    ASSERT_TRUE(viewer->wait_for(
        [](const Messages &m) {
            const auto online = std::find_if(m.begin(), m.end(), [](const MqttMessage &x) {
                return x.topic == "site/1/availability" && x.payload == "online";
            });
            return online != m.end() && !payloads_on(m, "site/1/state").empty() &&
                   std::any_of(online, m.end(),
                               [](const MqttMessage &x) { return x.topic == "site/1/alarms"; });
        },
        kLong));
    const Messages seen = viewer->messages();
    const auto configs = newest_under(seen, "homeassistant/");
    const Json::Value state = payloads_on(seen, "site/1/state").back();
    const std::map<std::string, Json::Value> documents = {
        {"site/1/state", state}, {"site/1/alarms", payloads_on(seen, "site/1/alarms").back()}};

    const auto units = documented_units();
    ASSERT_FALSE(units.empty());
    std::set<std::string> unique_ids;
    std::map<std::string, size_t> per_component;
    MqttTestClient op("operator-1");
    ASSERT_TRUE(op.connect(broker.port(), "operator", "operator-secret"));
    for (const auto &[topic, message] : configs) {
        const Json::Value c = parse(message.payload);
        ++per_component[topic.substr(14, topic.find('/', 14) - 14)];
        EXPECT_TRUE(unique_ids.insert(c["unique_id"].asString()).second) << topic;
        EXPECT_EQ(c["device"]["name"].asString(), "Site 17");
        EXPECT_EQ(c["device"]["identifiers"][0].asString(), "site_1");
        EXPECT_FALSE(c["device"]["sw_version"].asString().empty());
        EXPECT_TRUE(std::isupper(static_cast<unsigned char>(c["name"].asString()[0]))) << topic;
        // What a hub sends is the device's configuration.
        const bool sends = topic.find("/number/") != std::string::npos ||
                           topic.find("/button/") != std::string::npos;
        EXPECT_EQ(c["entity_category"].asString() == "config", sends) << topic;
        if (c.isMember("unit_of_measurement") && c.isMember("device_class")) {
            EXPECT_TRUE(
                units.count({c["device_class"].asString(), c["unit_of_measurement"].asString()}))
                << topic;
        }
        for (const auto &a : c["availability"])
            EXPECT_TRUE(last_on(seen, a["topic"].asString())) << topic;
        // A reading of the state is stale a few heartbeats after the last state; nothing else is.
        const std::string state_topic = c["state_topic"].asString();
        if (state_topic == "site/1/state" && !sends)
            EXPECT_GE(c["expire_after"].asDouble(), 3 * host::kDefaultHeartbeat) << topic;
        else
            EXPECT_FALSE(c.isMember("expire_after")) << topic;
        const std::regex path(R"(value_json\.([A-Za-z0-9_.\[\]'-]+))");
        const std::string tpl = c["value_template"].asString();
        for (std::sregex_iterator m(tpl.begin(), tpl.end(), path), end; m != end; ++m)
            EXPECT_FALSE(at_path(documents.at(state_topic), (*m)[1]).isNull()) << tpl;
        // No press that would switch every module off.
        const std::string press = c["payload_press"].asString();
        EXPECT_EQ(press.find("module-off:0"), std::string::npos);
        EXPECT_EQ(press.find("all_modules"), std::string::npos);
    }
    // The plant's 3 modules, 2 inputs and 2 battery groups, every alarm, the controls.
    EXPECT_EQ(state["rc_channels"].size(), 3u);
    EXPECT_EQ(per_component["sensor"], 2u + 2 + 2 * 4 + 3);
    EXPECT_EQ(per_component["binary_sensor"], std::size(host::catalogue::kAlarms) + 1 + 3);
    EXPECT_EQ(per_component["number"], std::size(host::catalogue::kParameters));
    EXPECT_EQ(per_component["button"], 3u + 2 * 3);

    // What the hub sends is taken: the float voltage at its highest, and a module switched off.
    const Json::Value number =
        parse(configs.at("homeassistant/number/site_1/float_voltage/config").payload);
    std::string set = number["command_template"].asString();
    set.replace(set.find("{{ value }}"), 11, number["max"].asString());
    ASSERT_TRUE(op.publish(number["command_topic"].asString(), set));
    // One request at a time per device: the next waits for this one's result.
    ASSERT_TRUE(viewer->wait_for(
        [](const Messages &m) { return payloads_on(m, "site/1/result").size() == 1; }, kLong));
    // The number shows the setting the plant reads back, not merely what was sent.
    const std::string shown = number["value_template"].asString();
    const std::string setting = shown.substr(shown.find("value_json.") + 11);
    const std::string read_back = setting.substr(0, setting.find(' '));
    ASSERT_TRUE(viewer->wait_for(
        [&](const Messages &m) {
            const auto states = payloads_on(m, number["state_topic"].asString());
            return !states.empty() &&
                   at_path(states.back(), read_back).asDouble() == number["max"].asDouble();
        },
        kLong))
        << payloads_on(viewer->messages(), "site/1/result").back().toStyledString();
    // The same press twice is two requests, each with an id of its own.
    const Json::Value button =
        parse(configs.at("homeassistant/button/site_1/module2_off/config").payload);
    for (size_t presses = 2; presses <= 3; ++presses) {
        ASSERT_TRUE(
            op.publish(button["command_topic"].asString(), button["payload_press"].asString()));
        ASSERT_TRUE(viewer->wait_for(
            [&](const Messages &m) { return payloads_on(m, "site/1/result").size() == presses; },
            kLong));
    }
    std::set<std::string> ids;
    for (const auto &r : payloads_on(viewer->messages(), "site/1/result")) {
        EXPECT_EQ(r["outcome"].asString(), "answered") << r.toStyledString();
        EXPECT_TRUE(ids.insert(r["id"].asString()).second) << r.toStyledString();
    }

    // A value topic per field of the block, each the bare number its state holds.
    const Messages later = viewer->messages();
    const auto values = newest_under(later, "site/1/value/");
    EXPECT_GT(values.size(), 40u);
    for (const auto &[topic, m] : values)
        EXPECT_TRUE(host::is_block_field(topic.substr(13))) << topic;
    // A round's values follow its state.
    double value = 0, in_state = -1;
    Json::Value round_state;
    for (const auto &m : later)
        if (m.topic == "site/1/state" && !m.payload.empty()) // empty: the clearing at connection
            round_state = parse(m.payload);
        else if (m.topic == "site/1/value/module3.current") {
            value = std::stod(m.payload);
            in_state = round_state["rc_channels"][2]["out_i"].asDouble();
        }
    EXPECT_NEAR(value, in_state, 1e-4);
    host->signal(SIGTERM);
    EXPECT_EQ(host->finish(kLong).exit_code, 0);

    // Kept for a late hub, values not: they would outlive the round they belong to.
    auto late = subscriber("viewer-2", "homeassistant/#");
    ASSERT_TRUE(late->subscribe("site/#", 1));
    // Past the broker's window of messages in flight, retained ones may come after the status.
    late->wait_for(
        [&](const Messages &m) {
            return newest_under(m, "homeassistant/").size() >= configs.size();
        },
        kLong);
    const auto kept = newest_under(late->messages(), "homeassistant/");
    EXPECT_EQ(kept.size(), configs.size());
    for (const auto &[topic, m] : kept)
        EXPECT_TRUE(m.retained) << topic;
    EXPECT_TRUE(newest_under(late->messages(), "site/1/value/").empty());

    // An account that may read the configurations but not clear them: the broker acknowledges
    // each empty payload with a refusal, and nothing is told as cleared.
    ChildProcess refused({HOST_PROGRAM, "mqtt-forget", "--config", config_file, "1", "--mqtt",
                          "mqtt://127.0.0.1:" + std::to_string(broker.port()), "--mqtt-user",
                          "operator", "--mqtt-password-file", broker.password_file_for("operator"),
                          "--mqtt-prefix", "site", "--mqtt-discovery"});
    const auto not_cleared = refused.finish(kLong);
    EXPECT_EQ(not_cleared.exit_code, 1);
    EXPECT_EQ(not_cleared.out, "");
    EXPECT_NE(not_cleared.err.find("topics not confirmed cleared"), std::string::npos)
        << not_cleared.err;

    ChildProcess forget({HOST_PROGRAM, "mqtt-forget", "--config", config_file, "1", "--mqtt",
                         "mqtt://127.0.0.1:" + std::to_string(broker.port()), "--mqtt-user", "host",
                         "--mqtt-password-file", broker.password_file_for("host"), "--mqtt-prefix",
                         "site", "--mqtt-discovery"});
    const auto r = forget.finish(kLong);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("homeassistant/sensor/site_1/module3_current/config\n"), std::string::npos)
        << r.out;
    auto gone = subscriber("viewer-3", "homeassistant/#");
    ASSERT_TRUE(gone->subscribe("site/#", 1));
    ASSERT_TRUE(gone->wait_for_topic("site/status", kLong));
    const auto left = newest_under(gone->messages(), "");
    ASSERT_EQ(left.size(), 1u) << left.rbegin()->first;
    EXPECT_EQ(left.begin()->first, "site/status");
}

} // namespace

namespace {

// A frame of the command (cid1, cid2) sent to `address` ("02"), counted in the capture.
size_t commands_to(const std::string &capture, const char *address, const char *cid1,
                   const char *cid2) {
    size_t count = 0;
    for (const auto &r : capture::read_capture(capture).records)
        if (r.direction == capture::CaptureRecord::Direction::Sent)
            for (size_t at = r.bytes.find('~'); at != std::string::npos;
                 at = r.bytes.find('~', at + 1))
                count += r.bytes.compare(at + 3, 2, address) == 0 &&
                         r.bytes.compare(at + 5, 2, cid1) == 0 &&
                         r.bytes.compare(at + 7, 2, cid2) == 0;
    return count;
}

// While the service polls two power systems on one line (with its history and a broker), the
// command line asks it instead of opening the port: every answer comes in well under two
// seconds, the service loses no communication, and the control reaches only its address.
TEST_F(MqttHostTest, TheCommandLineAsksTheRunningService) {
#ifndef HOST_SIM_PROGRAM
    GTEST_SKIP() << "mpx23-sim is not part of this build";
#else
    ChildProcess sim({HOST_SIM_PROGRAM, "--pty", "--address", "1,2", "--drift", "0"}, false);
    const std::string pty = sim.first_line(20000ms);
    ASSERT_EQ(pty.rfind("/dev/", 0), 0u) << pty;
    const std::string device = R"("interval": 0.2, "timeout": 1, "port": ")" + pty + "\"";
    const std::string line =
        fleet("line", {R"("data_id": 1, )" + device,
                       R"("data_id": 2, "settings": {"address": 2}, )" + device});
    const std::string capture = broker.dir() + "/line.capture", db = broker.dir() + "/h.db";
    ChildProcess service(host_args(line, {"--capture", capture, "--history", db, "--quiet"}));
    ASSERT_TRUE(service.said("control socket: ", kLong));
    // Both devices completed a round: what the service holds from then on is fresh.
    const auto both_up = [&] {
        ChildProcess status({HOST_PROGRAM, "status"});
        const std::string shown = status.finish(kLong).out;
        return shown.find("device 1 on " + pty + ": up") != std::string::npos &&
               shown.find("device 2 on " + pty + ": up") != std::string::npos;
    };
    for (auto end = std::chrono::steady_clock::now() + kLong;
         !both_up() && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(50ms);
    auto ask = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {HOST_PROGRAM, "--port", pty, "--address", "2"});
        ChildProcess client(args);
        return client.finish(kLong);
    };
    for (int i = 0; i < 3; ++i) {
        const auto got = ask({"--get", "dc.voltage", "-q"});
        EXPECT_EQ(got.exit_code, 0) << got.err;
        EXPECT_EQ(got.out, "53\n");
    }
    EXPECT_EQ(ask({"--set", "float-voltage=54"}).out,
              "device 2: set {\"signal_id\": \"4196A3201001\", \"SetValue\": 54}: answered\n");
    EXPECT_EQ(ask({"--control", "module-off:1"}).out, "device 2: control 419500200001: answered\n");
    ChildProcess status({HOST_PROGRAM, "status"});
    const auto shown = status.finish(kLong);
    EXPECT_EQ(shown.exit_code, 0);
    EXPECT_NE(shown.out.find("device 2 on " + pty + ": up"), std::string::npos) << shown.out;

    service.signal(SIGTERM);
    const auto r = service.finish(kLong);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err.find("communication lost"), std::string::npos) << r.err;
    EXPECT_EQ(commands_to(capture, "02", "41", "45"), 1u);
    EXPECT_EQ(commands_to(capture, "01", "41", "45"), 0u);
    ChildProcess requests({HOST_PROGRAM, "history", "--history", db, "--requests"});
    EXPECT_NE(requests.finish(kLong).out.find("from socket (uid "), std::string::npos);
#endif
}

} // namespace
