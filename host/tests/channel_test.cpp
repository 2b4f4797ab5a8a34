// The per-device state machine (Channel, host/core) on the event loop, with the plug-in loaded
// in-process and the simulator as the line.
#include "capture/format.h"
#include "capture/writer.h"
#include "host/core/devices.h"
#include "host/json/documents.h"
#include "host/state/site_state.h"
#include "host/tests/file_contents.h"
#include "host/tests/host_stack.h"
#include "host/tests/plugin_path.h"

#include <json/reader.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <sstream>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

size_t occurrences(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

struct PollerTest : ::testing::Test {
    static void SetUpTestSuite() {
        if (*testing_host::plugin_path())
            plugin = new host::Plugin(testing_host::plugin_path());
    }
    void SetUp() override { NEEDS_PLUGIN(); }

    // A fast line, so that a failed exchange settles in a fraction of a second; a timeout long
    // enough that a busy machine does not miss a reply that came.
    host::DeviceConfig sim_device(double interval, Json::Value scenario = Json::nullValue,
                                  double timeout = 2.0) {
        host::DeviceConfig d;
        d.interval = interval;
        d.timeout = timeout;
        d.baud = 115200;
        d.sim = scenario;
        return d;
    }

    // Runs the host until it stops by itself and returns its JSON lines; the limit is only a
    // safety net against a host that never stops.
    std::vector<Json::Value> run(host::RunOptions options, const host::DeviceConfig &d,
                                 host::History *history = nullptr) {
        boost::asio::io_context io;
        HostStack stack(io, out, log, history, options);
        host::Host &h = stack.core;
        device = host::make_device(*plugin, d, std::make_shared<KVOController>());
        h.add(d, device);
        boost::asio::steady_timer guard(io, std::chrono::seconds(60));
        guard.async_wait([&](boost::system::error_code ec) {
            if (!ec) {
                ADD_FAILURE() << "the host did not stop by itself";
                h.stop();
            }
        });
        return run_until_done(h);
    }

    // Several devices on one line (the simulator's bus); `seconds` > 0 stops the host after that
    // long, for runs with a device that never completes its rounds.
    std::vector<Json::Value> run_line(host::RunOptions options,
                                      const std::vector<host::DeviceConfig> &ds,
                                      double seconds = 0) {
        boost::asio::io_context io;
        HostStack stack(io, out, log, nullptr, options);
        host::Host &h = stack.core;
        std::vector<std::shared_ptr<KVOVDevice>> devices;
        for (const auto &d : ds) {
            devices.push_back(host::make_device(*plugin, d, std::make_shared<KVOController>()));
            h.add(d, devices.back());
        }
        const bool timed = seconds > 0;
        boost::asio::steady_timer guard(
            io, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(timed ? seconds : 120.0)));
        guard.async_wait([&](boost::system::error_code ec) {
            if (ec)
                return;
            if (!timed)
                ADD_FAILURE() << "the host did not stop by itself";
            h.stop();
        });
        return run_until_done(h);
    }

    // Runs the host to its end, with the driver's diagnostics kept off the test's output, and
    // returns the JSON lines it published.
    std::vector<Json::Value> run_until_done(host::Host &h) {
        CaptureStdout();
        exit_status = h.run();
        GetCapturedStdout();
        std::vector<Json::Value> lines;
        std::istringstream text(contents(out_file));
        for (std::string line; std::getline(text, line);) {
            Json::Value v;
            std::istringstream in(line);
            Json::CharReaderBuilder builder;
            std::string errors;
            EXPECT_TRUE(Json::parseFromStream(builder, in, &v, &errors)) << line;
            lines.push_back(v);
        }
        return lines;
    }

    // Device `n` of a bus: address and data_id n, n + 2 rectifier modules, frozen readings.
    host::DeviceConfig bus_device(unsigned n, double interval, double timeout,
                                  std::vector<std::string> faults = {}) {
        Json::Value scenario;
        scenario["drift"] = 0;
        scenario["modules"] = n + 2;
        for (const auto &f : faults)
            scenario["faults"].append(f);
        auto d = sim_device(interval, scenario, timeout);
        d.data_id = n;
        d.settings["address"] = n;
        return d;
    }

    static std::vector<Json::Value> of_device(const std::vector<Json::Value> &lines,
                                              unsigned data_id) {
        std::vector<Json::Value> out;
        for (const auto &l : lines)
            if (l.isMember("block") && l["data_id"].asUInt() == data_id)
                out.push_back(l);
        return out;
    }

    static std::vector<Json::Value> with(const std::vector<Json::Value> &lines, const char *key) {
        std::vector<Json::Value> out;
        for (const auto &l : lines)
            if (l.isMember(key))
                out.push_back(l);
        return out;
    }

    std::string log_text() { return contents(log_file); }

    static host::Plugin *plugin;
    FILE *out_file = tmpfile();
    FILE *log_file = tmpfile();
    host::Output out{out_file};
    host::Log log{log_file};
    std::shared_ptr<KVOVDevice> device;
    int exit_status = -1;
};

host::Plugin *PollerTest::plugin = nullptr;

Json::Value events(std::initializer_list<std::pair<unsigned, const char *>> list) {
    Json::Value scenario;
    for (const auto &[round, name] : list) {
        Json::Value e;
        e["round"] = round;
        e["event"] = name;
        scenario["events"].append(e);
    }
    return scenario;
}

TEST_F(PollerTest, RoundsPublishAlarmTransitionsOnceAndKeepHistory) {
    char dir[] = "/tmp/host-poller-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string db = std::string(dir) + "/h.db";
    auto d = sim_device(0.02, events({{2, "mains_fail"}, {3, "mains_return"}}));
    d.alarm_settings["220600140010"] = 1; // AC input failure
    {
        host::History history(db, 100);
        const auto lines = run({5, {}, {}, {}, true}, d, &history);
        const auto blocks = with(lines, "block");
        ASSERT_EQ(blocks.size(), 5u);
        EXPECT_EQ(blocks[0]["poll"]["commands"].asUInt(), 9u); // first round: every query
        EXPECT_EQ(blocks[4]["poll"]["commands"].asUInt(), 4u); // quiet round: analogue only
        EXPECT_EQ(blocks[1]["ac_channels"][0]["ua"].asDouble(), 0.0);
        EXPECT_GT(blocks[2]["ac_channels"][0]["ua"].asDouble(), 200.0);

        const auto alarms = with(lines, "alarm");
        ASSERT_EQ(alarms.size(), 2u);
        EXPECT_EQ(alarms[0]["alarm"].asString(), "raised");
        EXPECT_EQ(alarms[1]["alarm"].asString(), "cleared");
        EXPECT_EQ(alarms[0]["signal_id"].asString(), "220600140010");
        EXPECT_EQ(device->comm_status, 1);

        unsigned stored = 0, stored_alarms = 0;
        history.for_each_block([&](const host::StoredBlock &b) {
            EXPECT_EQ(
                host::hex(reinterpret_cast<const unsigned char *>(b.bytes.data()), b.bytes.size()),
                blocks[stored++]["block"].asString());
        });
        history.for_each_alarm([&](const host::AlarmRecord &) { ++stored_alarms; });
        EXPECT_EQ(stored, 5u);
        EXPECT_EQ(stored_alarms, 2u);
    }
    for (const char *suffix : {"", "-wal", "-shm"})
        unlink((db + suffix).c_str());
    rmdir(dir);
}

// What the host tells a publisher; `react` runs on each report, as a broker client's requests
// would arrive between rounds.
struct RecordingObserver : host::Observer {
    void round_completed(const host::RoundCompleted &round) override {
        seen.push_back("block " + std::to_string(round.data_id) + " round " +
                       std::to_string(round.cost.round));
        react();
    }
    void alarm_changed(const host::AlarmRecord &a) override {
        seen.push_back("alarm " + a.signal_id + (a.raised ? " raised" : " cleared"));
        react();
    }
    void communication_changed(const host::CommunicationChanged &c) override {
        seen.push_back("communication " + std::to_string(c.data_id) + (c.lost ? " lost" : " back"));
        react();
    }
    std::vector<std::string> seen;
    std::function<void()> react = [] {};
};

host::RemoteRequest remote(
    const std::string &id, const std::string &text,
    std::vector<std::pair<std::string, host::RequestOutcome>> &outcomes,
    std::function<void()> then = [] {}) {
    host::RemoteRequest r;
    r.text = text;
    r.source = "mqtt";
    r.request_id = id;
    r.done = [id, &outcomes, then](const host::RequestOutcome &o) {
        outcomes.push_back({id, o});
        then();
    };
    return r;
}

// One request per device at a time: a second one while the first waits is busy at once, one
// for a device the host does not poll is refused, and all of them go to the history.
TEST_F(PollerTest, RemoteRequestsGoOneAtATimeAndAreAllRecorded) {
    char dir[] = "/tmp/host-poller-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string db = std::string(dir) + "/h.db";
    {
        host::History history(db, 100);
        boost::asio::io_context io;
        host::RunOptions options;
        HostStack stack(io, out, log, &history, options);
        host::Host &h = stack.core;
        const auto d = sim_device(0.02);
        device = host::make_device(*plugin, d, std::make_shared<KVOController>());
        h.add(d, device);
        RecordingObserver watch;
        stack.events.listen(watch);
        std::vector<std::pair<std::string, host::RequestOutcome>> outcomes;
        bool sent = false;
        watch.react = [&] {
            if (sent || watch.seen.back() != "block 1 round 1")
                return;
            sent = true;
            h.submit(1, remote("first", "419500200002", outcomes,
                               [&] { boost::asio::post(io, [&] { h.stop(); }); }));
            h.submit(1, remote("second", "419500200003", outcomes));
            h.submit(9, remote("nowhere", "419500200002", outcomes));
        };
        boost::asio::steady_timer guard(io, std::chrono::seconds(60));
        guard.async_wait([&](boost::system::error_code ec) {
            if (!ec) {
                ADD_FAILURE() << "the request was never carried out";
                h.stop();
            }
        });
        run_until_done(h);
        ASSERT_EQ(outcomes.size(), 3u);
        EXPECT_EQ(outcomes[0].first, "second");
        EXPECT_EQ(outcomes[0].second.outcome, "busy");
        EXPECT_EQ(outcomes[1].first, "nowhere");
        EXPECT_EQ(outcomes[1].second.outcome, "refused");
        EXPECT_EQ(outcomes[1].second.reason, "no such device");
        EXPECT_EQ(outcomes[2].first, "first");
        EXPECT_EQ(outcomes[2].second.outcome, "answered");

        std::vector<host::RequestRecord> stored;
        history.for_each_request([&](const host::RequestRecord &r) { stored.push_back(r); });
        ASSERT_EQ(stored.size(), 3u);
        EXPECT_EQ(stored[2].request_id, "first");
        EXPECT_EQ(stored[2].outcome, "answered");
        EXPECT_EQ(stored[2].source, "mqtt");
        EXPECT_EQ(stored[2].kind, "control");
        EXPECT_EQ(stored[0].outcome, "busy");
    }
    for (const char *suffix : {"", "-wal", "-shm"})
        unlink((db + suffix).c_str());
    rmdir(dir);
}

// A device without communication cannot carry a request out: it is refused at once rather than
// kept until the device is back, when it may be long stale. Loss and return are told once each.
TEST_F(PollerTest, ALostDeviceRefusesRequestsAndTellsItsLossOnce) {
    Json::Value scenario;
    scenario["faults"].append("silence:rounds=2-6");
    boost::asio::io_context io;
    host::RunOptions options;
    options.rounds = 3;
    HostStack stack(io, out, log, nullptr, options);
    host::Host &h = stack.core;
    const auto d = sim_device(0.03, scenario, 0.05);
    device = host::make_device(*plugin, d, std::make_shared<KVOController>());
    h.add(d, device);
    RecordingObserver watch;
    stack.events.listen(watch);
    std::vector<std::pair<std::string, host::RequestOutcome>> outcomes;
    watch.react = [&] {
        if (watch.seen.back() == "communication 1 lost")
            h.submit(1, remote("while-lost", "419500200002", outcomes));
    };
    run_until_done(h);
    const std::vector<std::string> expected = {"block 1 round 1", "communication 1 lost",
                                               "communication 1 back", "block 1 round 2",
                                               "block 1 round 3"};
    EXPECT_EQ(watch.seen, expected);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].second.outcome, "refused");
    EXPECT_EQ(outcomes[0].second.reason, "no communication with the device");
}

TEST_F(PollerTest, SilenceLosesAndRegainsCommunicationOnce) {
    Json::Value scenario;
    scenario["faults"].append("silence:rounds=2-6");
    scenario["faults"].append("silence:rounds=9,11,13"); // a reply lost now and then
    scenario["faults"].append("checksum:rounds=8");      // and one that comes damaged
    const auto lines = run({6, {}, {}, {}, true}, sim_device(0.03, scenario, 0.05));
    EXPECT_EQ(with(lines, "block").size(), 6u);
    EXPECT_EQ(exit_status, 0);
    const std::string log = log_text();
    EXPECT_EQ(occurrences(log, "device 1: communication lost"), 1u) << log;
    EXPECT_EQ(occurrences(log, "device 1: communication re-established"), 1u) << log;
    EXPECT_EQ(occurrences(log, "device 1: frame dropped (bad CHKSUM"), 1u) << log;
    // Nine rounds failed; silence is told once, with where the host listened, and the silences
    // between completed rounds after it wait for the minute to pass.
    EXPECT_EQ(occurrences(log, "device 1 (address 1 on simulator at 115200 baud): no reply "
                               "within 0.05 s: check the address, the baud rate and the wiring\n"),
              1u)
        << log;
    EXPECT_LT(log.find("lost"), log.find("re-established"));
}

TEST_F(PollerTest, RoundsLongerThanTheIntervalStillComplete) {
    Json::Value scenario;
    scenario["faults"].append("slow:ms=15"); // a round of four to nine replies: 60 ms or more
    auto lines = run({3, {}, {}, {}, true}, sim_device(0.02, scenario));
    EXPECT_EQ(with(lines, "block").size(), 3u);
    // Nothing to tell: the host chose the alarm checks, the inputs did not have to.
    EXPECT_EQ(log_text(), "");
    EXPECT_EQ(exit_status, 0);
}

// N rounds are N blocks, however short the interval; a value asked for comes right after the
// first.
TEST_F(PollerTest, RoundsAreCountedExactlyWhateverTheInterval) {
    for (unsigned rounds : {1u, 3u, 50u}) {
        std::rewind(out_file);
        ASSERT_EQ(ftruncate(fileno(out_file), 0), 0);
        Json::Value scenario;
        scenario["faults"].append("slow:ms=2"); // a round of 8 ms or more
        const auto lines =
            run({rounds, std::string("out_v"), {}, {}, true}, sim_device(0.001, scenario));
        EXPECT_EQ(with(lines, "block").size(), rounds);
        ASSERT_EQ(with(lines, "get").size(), 1u) << rounds;
        EXPECT_TRUE(lines[1].isMember("get"));
        EXPECT_GT(with(lines, "get")[0]["value"].asDouble(), 40.0) << rounds;
        EXPECT_EQ(exit_status, 0) << rounds;
    }
}

// Compares what a block says, leaving out when it was taken.
Json::Value values_of(Json::Value block) {
    for (const char *key : {"time", "poll", "block"})
        block.removeMember(key);
    for (const char *record : {"acData", "rcData", "dcData"})
        block[record].removeMember("time");
    return block;
}

// A reply that comes after its timeout must not be read as the answer to the next command: the
// line is left to fall quiet first. Readings are frozen, so every block must read the same.
TEST_F(PollerTest, LateRepliesNeverPassForTheNextAnswer) {
    Json::Value scenario;
    scenario["drift"] = 0;
    for (const char *command : {"4247", "4042", "4142", "4242"}) // every query of a round
        scenario["faults"].append(std::string("slow:ms=300:rate=0.05:cmd=") + command);
    const auto lines = run({30, {}, {}, {}, true}, sim_device(0.02, scenario, 0.1));
    const auto blocks = with(lines, "block");
    ASSERT_EQ(blocks.size(), 30u);
    for (const auto &b : blocks) {
        EXPECT_EQ(b["param47_a"].asUInt(), 5350u);
        EXPECT_EQ(values_of(b).toStyledString(), values_of(blocks[0]).toStyledString());
    }
    EXPECT_NE(
        log_text().find("device 1 (address 1 on simulator at 115200 baud): no reply within 0.1 s"),
        std::string::npos);
}

// Bytes that never make a reply (a babbling node) do not hold a round open: it fails like
// silence and the rounds go on when the line is clean again.
TEST_F(PollerTest, ABabblingLineFailsTheRound) {
    Json::Value scenario;
    scenario["drift"] = 0;
    scenario["faults"].append("babble:ms=1500:rounds=2");
    const auto lines = run({3, {}, {}, {}, true}, sim_device(0.02, scenario, 0.05));
    EXPECT_EQ(with(lines, "block").size(), 3u);
    const std::string log = log_text();
    EXPECT_NE(log.find("device 1: no complete reply within 0.05 s ("), std::string::npos) << log;
}

TEST_F(PollerTest, OneShotOperationsReportTheirOutcome) {
    Json::Value scenario;
    scenario["faults"].append("silence:cmd=4145"); // remote control goes unanswered
    const auto lines =
        run({1, std::string("no_such_value"), std::string("{"), std::string("419500200001"), true},
            sim_device(0.02, scenario, 0.2));
    const auto get = with(lines, "get");
    ASSERT_EQ(get.size(), 1u);
    EXPECT_EQ(get[0]["error"].asString(), "不支持变量");
    const auto set = with(lines, "set");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0]["result"].asInt(), -1); // not JSON: refused, nothing sent
    EXPECT_EQ(set[0]["status"].asInt(), -1);
    EXPECT_EQ(set[0]["outcome"].asString(), "nothing sent");
    const auto control = with(lines, "control");
    ASSERT_EQ(control.size(), 1u);
    EXPECT_EQ(control[0]["result"].asInt(), 0);
    EXPECT_EQ(control[0]["status"].asInt(), -1);
    EXPECT_EQ(control[0]["outcome"].asString(), "not answered");
    // Operations come after the first round, in order, and the run ends after them.
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines.front().isMember("block"));
    EXPECT_TRUE(lines.back().isMember("control"));
    EXPECT_EQ(exit_status, 2); // a refused request outweighs an unanswered one
}

// A one-shot request to a device that never answers ends after a few tries, as a failure.
TEST_F(PollerTest, OneShotRequestsGiveUpOnADeadDevice) {
    Json::Value scenario;
    scenario["faults"].append("silence");
    const auto lines =
        run({1, {}, {}, std::string("419500200001"), true}, sim_device(0.02, scenario, 0.05));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(exit_status, 1);
    const std::string log = log_text();
    EXPECT_NE(log.find("device 1: 419500200001: not carried out: no round completed in 3 tries"),
              std::string::npos)
        << log;
}

// Three power systems on one line, with faults that break rounds and late replies that land in
// another device's turn: every block a device publishes is its own plant's (own module count,
// frozen readings that never change).
TEST_F(PollerTest, ThreeDevicesOnOneLineKeepTheirOwnReadings) {
    const std::vector<std::string> faults = {"slow:ms=300:rate=0.01", "checksum:rate=0.005",
                                             "noise:rate=0.005", "truncate:rate=0.005"};
    std::vector<host::DeviceConfig> ds;
    for (unsigned n = 1; n <= 3; ++n)
        ds.push_back(bus_device(n, 0.001, 0.1, faults));
    const auto lines = run_line({334, {}, {}, {}, true}, ds);
    for (unsigned n = 1; n <= 3; ++n) {
        const auto blocks = of_device(lines, n);
        ASSERT_EQ(blocks.size(), 334u) << n;
        for (const auto &b : blocks) {
            ASSERT_EQ(b["rc_channels"].size(), n + 2) << "device " << n;
            ASSERT_EQ(values_of(b).toStyledString(), values_of(blocks[0]).toStyledString()) << n;
        }
    }
    EXPECT_EQ(exit_status, 0);
}

// A silent device backs off and the two others keep their rate; it is told lost once.
TEST_F(PollerTest, ASilentDeviceDoesNotStarveTheOthers) {
    constexpr double kInterval = 0.25, kSeconds = 12.0;
    std::vector<host::DeviceConfig> ds = {bus_device(1, kInterval, 0.05),
                                          bus_device(2, kInterval, 0.05),
                                          bus_device(3, kInterval, 0.05, {"silence"})};
    const auto lines = run_line({}, ds, kSeconds);
    const double expected = kSeconds / kInterval;
    for (unsigned n : {1u, 2u}) {
        const double rate = static_cast<double>(of_device(lines, n).size()) / expected;
        std::printf("device %u: %.1f %% of its round rate beside a silent device\n", n, 100 * rate);
        EXPECT_GE(rate, 0.75) << n; // 0.9 and more on an idle machine
    }
    EXPECT_TRUE(of_device(lines, 3).empty());
    EXPECT_EQ(occurrences(log_text(), "device 3: communication lost"), 1u);
    EXPECT_EQ(exit_status, 0);
}

// The ADR field of a frame as the capture holds it ("~20024145...").
std::string address_of(const std::string &frame) {
    return frame.substr(3, 2);
}

bool one_whole_frame(const std::string &bytes) {
    return !bytes.empty() && bytes.front() == '~' && bytes.find('\r') == bytes.size() - 1;
}

// A control request for device 2 goes to address 2 only, once, in its own turn: its module 2 is
// off in its later blocks, the same module of the others stays on. On the line every command
// goes out whole and its one reply, slow as it is, comes whole from the address it names before
// the next command goes out.
TEST_F(PollerTest, ControlReachesOnlyItsDevice) {
    char dir[] = "/tmp/host-channel-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/line.capture";
    std::vector<host::DeviceConfig> ds;
    for (unsigned n = 1; n <= 3; ++n)
        ds.push_back(bus_device(n, 0.01, 0.5, {"slow:ms=10"}));
    host::RunOptions options{3, {}, {}, std::string("419500200002")};
    options.target = 2;
    std::vector<Json::Value> lines;
    {
        capture::CaptureWriter writer(path, capture::CaptureWriter::kDefaultMaxBytes,
                                      [](const std::string &) {});
        options.capture = &writer;
        lines = run_line(options, ds);
    }
    std::vector<std::pair<std::string, std::string>> exchanges; // command, what answered it
    for (const auto &r : capture::read_capture(path).records) {
        if (r.direction == capture::CaptureRecord::Direction::Sent)
            exchanges.push_back({r.bytes, ""});
        else if (!exchanges.empty())
            exchanges.back().second += r.bytes;
    }
    unlink(path.c_str());
    rmdir(dir);
    const auto control = with(lines, "control");
    ASSERT_EQ(control.size(), 1u);
    EXPECT_EQ(control[0]["data_id"].asUInt(), 2u);
    EXPECT_EQ(control[0]["outcome"].asString(), "answered");
    for (unsigned n = 1; n <= 3; ++n) {
        const auto blocks = of_device(lines, n);
        ASSERT_EQ(blocks.size(), 3u);
        EXPECT_EQ(blocks.front()["rc_channels"][1]["on_off"].asUInt(), 0u) << n;
        EXPECT_EQ(blocks.back()["rc_channels"][1]["on_off"].asUInt(), n == 2 ? 1u : 0u) << n;
    }
    ASSERT_GE(exchanges.size(), 3u * 9u);
    std::vector<std::string> controlled; // the addresses remote control commands went to
    for (const auto &[command, reply] : exchanges) {
        EXPECT_TRUE(one_whole_frame(command)) << command;
        ASSERT_TRUE(one_whole_frame(reply)) << command << " answered by " << reply;
        EXPECT_EQ(address_of(reply), address_of(command)) << command;
        if (command.substr(5, 4) == "4145")
            controlled.push_back(address_of(command));
    }
    EXPECT_EQ(controlled, std::vector<std::string>{"02"});
}

// Rounds that outgrow the interval: the line says so once, with the figures, and stays busy.
TEST_F(PollerTest, ASaturatedLineIsToldOnceAndKeptBusy) {
    std::vector<host::DeviceConfig> ds;
    for (unsigned n = 1; n <= 3; ++n)
        ds.push_back(bus_device(n, 0.05, 0.5, {"slow:ms=10"}));
    const auto start = std::chrono::steady_clock::now();
    const auto lines = run_line({20, {}, {}, {}, true}, ds);
    const double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    double busy = 0;
    for (const auto &l : with(lines, "block"))
        busy += l["poll"]["elapsed_ms"].asDouble();
    std::printf("saturated line: exchanges %.0f ms of %.0f ms (%.1f %%)\n", busy, wall,
                100 * busy / wall);
    EXPECT_GE(busy / wall, 0.8); // 0.95 and more on an idle machine
    const std::string log = log_text();
    EXPECT_EQ(occurrences(log, "line sim: 3 devices need "), 1u) << log;
    EXPECT_NE(log.find(" per cycle, interval 0.05 s\n"), std::string::npos) << log;
}

// A device that is silent for a while holds the line for its time-outs, longer than the
// interval: that is silence, told as such, not a line that cannot keep up.
TEST_F(PollerTest, ALineWaitingOnASilentDeviceIsNotSaturated) {
    const std::vector<host::DeviceConfig> ds = {bus_device(1, 0.05, 0.1),
                                                bus_device(2, 0.05, 0.1, {"silence:rounds=1-6"})};
    run_line({8, {}, {}, {}, true}, ds);
    const std::string log = log_text();
    EXPECT_EQ(occurrences(log, "per cycle"), 0u) << log;
    EXPECT_EQ(occurrences(log, "device 2 (address 2 on simulator at 115200 baud): no reply"), 1u)
        << log;
}

// A device whose block cannot be read (cut short): told once, by the core, whatever the outputs
// are; none of them shows it, and the site state keeps no document of it.
struct UnreadableBlockDevice : KVOSPDevice {
    int RefreshStatus() override {
        KVOSPDevice::RefreshStatus();
        const unsigned char block[10] = {};
        SendSP(5312, block, sizeof block, false);
        return 1;
    }
};

TEST(UnreadableBlock, IsToldOnceWhateverTheOutputs) {
    for (const bool quiet : {true, false}) {
        std::FILE *out_file = std::tmpfile(), *log_file = std::tmpfile();
        host::Output out(out_file);
        host::Log log(log_file);
        boost::asio::io_context io;
        host::RunOptions options;
        options.rounds = 3;
        HostStack stack(io, out, log, nullptr, options, true, !quiet);
        host::SiteState site({1});
        stack.events.listen(site);
        host::DeviceConfig d;
        d.interval = 0.01;
        auto device = std::make_shared<UnreadableBlockDevice>();
        device->data_id = d.data_id;
        stack.core.add(d, device);
        run_to_its_end(io, stack.core);
        const std::string told = contents(log_file);
        EXPECT_EQ(occurrences(told, "device 1: unreadable block: block of 10 bytes"), 1u) << told;
        EXPECT_EQ(contents(out_file), "");
        EXPECT_FALSE(site.device(1)->document);
        std::fclose(out_file);
        std::fclose(log_file);
    }
}

} // namespace
