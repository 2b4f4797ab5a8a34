// The broker and client that the host's publishing tests stand on: the accounts and what each
// may read and write, sessions that outlive a broker restart, TLS, and a clean exit.
#include "host/tests/mqtt_broker.h"
#include "host/tests/mqtt_subscriber.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

using namespace std::chrono_literals;
using testing_host::MqttBroker;
using testing_host::MqttTestClient;
using testing_host::Tls;

const auto kPatience = 10000ms;

std::string first_line(const std::string &file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::vector<std::string> payloads(const MqttTestClient::Messages &messages) {
    std::vector<std::string> out;
    for (const auto &m : messages)
        out.push_back(m.payload);
    return out;
}

// A client of `broker` logged in as `user` with the password the broker gives programs.
std::unique_ptr<MqttTestClient> logged_in(const MqttBroker &broker, const std::string &id,
                                          const std::string &user, bool clean_session = true) {
    auto client = std::make_unique<MqttTestClient>(id, clean_session);
    EXPECT_TRUE(client->connect(broker.port(), user, first_line(broker.password_file_for(user))))
        << user << "\n"
        << broker.log();
    return client;
}

TEST(MqttFixture, AccountsConnectOnlyWithTheirOwnPassword) {
    MqttBroker broker;
    broker.start();
    for (const auto &account : testing_host::mqtt_accounts()) {
        const auto client = logged_in(broker, std::string("login-") + account.user, account.user);
        EXPECT_TRUE(client->connected()) << account.user;
    }
    MqttTestClient intruder("intruder");
    EXPECT_FALSE(intruder.connect(broker.port(), "host", "operator-secret"));
    EXPECT_FALSE(intruder.connected());
    EXPECT_FALSE(intruder.connect(broker.port(), "guest", "guest"));
    EXPECT_FALSE(intruder.connect(broker.port(), "", ""));
    // The same client, refused twice, still logs in with the right password.
    EXPECT_TRUE(intruder.connect(broker.port(), "host", "host-secret")) << broker.log();
}

TEST(MqttFixture, AccountsReadAndWriteOnlyWhatTheAclAllows) {
    MqttBroker broker("plant");
    broker.start();
    const auto watcher = logged_in(broker, "watcher", "viewer");
    ASSERT_TRUE(watcher->subscribe("plant/#", 1));
    // The broker grants any subscription and delivers on it only what the account may read.
    const auto host = logged_in(broker, "host", "host");
    ASSERT_TRUE(host->subscribe("plant/#", 1));
    const auto operator_ = logged_in(broker, "operator", "operator");
    const auto viewer = logged_in(broker, "viewer", "viewer");

    // Refused publications, which the broker acknowledges all the same.
    EXPECT_TRUE(viewer->publish("plant/1/control", "viewer-control"));
    EXPECT_TRUE(viewer->publish("plant/1/set", "viewer-set"));
    EXPECT_TRUE(operator_->publish("plant/1/status", "operator-status"));
    // Allowed ones, published after them: once these arrive, the refused ones had their chance.
    EXPECT_TRUE(host->publish("plant/1/status", "host-status"));
    EXPECT_TRUE(operator_->publish("plant/1/control", "operator-control"));
    EXPECT_TRUE(operator_->publish("plant/1/set", "operator-set"));

    const std::vector<std::string> everything = {"host-status", "operator-control", "operator-set"};
    EXPECT_TRUE(watcher->wait_for(
        [&](const MqttTestClient::Messages &all) { return all.size() >= everything.size(); },
        kPatience));
    EXPECT_EQ(payloads(watcher->messages()), everything) << broker.log();
    EXPECT_TRUE(host->wait_for([](const MqttTestClient::Messages &all) { return all.size() >= 2; },
                               kPatience));
    EXPECT_EQ(payloads(host->messages()),
              (std::vector<std::string>{"operator-control", "operator-set"}));
    const auto seen = host->messages();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].topic, "plant/1/control");
    EXPECT_EQ(seen[0].qos, 1);
    EXPECT_FALSE(seen[0].retained);
}

TEST(MqttFixture, PersistentSessionGetsWhatWasQueuedBeforeARestart) {
    MqttBroker broker;
    broker.start();
    const int port = broker.port();
    ASSERT_TRUE(logged_in(broker, "keeper", "viewer", false)->subscribe("site/#", 1));
    ASSERT_TRUE(logged_in(broker, "publisher", "host")->publish("site/1/alarm", "while away", 1));

    broker.stop();
    EXPECT_FALSE(broker.running());
    broker.start();
    EXPECT_EQ(broker.port(), port);

    // No new subscription: both it and the message come from the broker's saved state.
    const auto keeper = logged_in(broker, "keeper", "viewer", false);
    EXPECT_EQ(keeper->wait_for_topic("site/1/alarm", kPatience), "while away") << broker.log();
    ASSERT_EQ(keeper->messages().size(), 1u);
    EXPECT_EQ(keeper->messages()[0].qos, 1);
}

TEST(MqttFixture, TlsListenerTakesOnlyClientsThatSpeakTls) {
    MqttBroker broker("site", Tls::On);
    broker.start();
    MqttTestClient secure("secure");
    ASSERT_TRUE(secure.connect(broker.port(), "viewer", "viewer-secret", broker.ca_file()))
        << broker.log();
    ASSERT_TRUE(secure.subscribe("site/#", 1));
    MqttTestClient secure_host("secure-host");
    ASSERT_TRUE(secure_host.connect(broker.port(), "host", "host-secret", broker.ca_file()));
    EXPECT_TRUE(secure_host.publish("site/2/status", "over tls"));
    EXPECT_EQ(secure.wait_for_topic("site/2/status", kPatience), "over tls");

    MqttTestClient plain("plain");
    EXPECT_FALSE(plain.connect(broker.port(), "host", "host-secret"));
    // Another authority, made for another broker, does not vouch for this one.
    const MqttBroker stranger("site", Tls::On);
    MqttTestClient misled("misled");
    EXPECT_FALSE(misled.connect(broker.port(), "host", "host-secret", stranger.ca_file()));
}

TEST(MqttFixture, BrokerLeavesNeitherProcessNorFolderAndExplainsAFailedStart) {
    std::string dir;
    int port = 0;
    {
        MqttBroker broker;
        dir = broker.dir();
        port = broker.port();
        EXPECT_FALSE(broker.running());
        broker.start();
        EXPECT_TRUE(broker.running());
        EXPECT_TRUE(std::filesystem::exists(dir + "/mosquitto.conf"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
    MqttTestClient late("late");
    EXPECT_FALSE(late.connect(port, "host", "host-secret"));

    // A broker that cannot start says why, in its own words.
    MqttBroker broken;
    std::ofstream(broken.dir() + "/mosquitto.conf", std::ios::app) << "no_such_option 1\n";
    try {
        broken.start();
        ADD_FAILURE() << "a broker with a bad configuration started";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("no_such_option"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(broken.running());
}

} // namespace
