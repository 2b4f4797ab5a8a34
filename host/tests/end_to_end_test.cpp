// The host program against the simulator program on a pseudo-terminal, as it would poll a
// power system on a serial line.
#include "host/tests/child_process.h"

#include <json/reader.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testing_host::ChildProcess;

const char *const kAcFailure = "220600140010";

struct HostRun {
    int exit_code;
    std::string err;
    std::vector<Json::Value> lines;

    std::vector<Json::Value> with(const char *key) const {
        std::vector<Json::Value> out;
        for (const auto &l : lines)
            if (l.isMember(key))
                out.push_back(l);
        return out;
    }
};

size_t occurrences(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

std::vector<Json::Value> json_lines(const std::string &text) {
    std::vector<Json::Value> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        Json::Value v;
        std::istringstream one(line);
        Json::CharReaderBuilder builder;
        std::string errors;
        EXPECT_TRUE(Json::parseFromStream(builder, one, &v, &errors)) << line;
        lines.push_back(v);
    }
    return lines;
}

struct EndToEnd : ::testing::Test {
    void SetUp() override {
        char name[] = "/tmp/host-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        sim.reset();
        std::filesystem::remove_all(dir);
    }

    // Starts the simulator on a pseudo-terminal and returns the terminal's path.
    std::string start_sim(std::vector<std::string> args) {
#ifdef HOST_SIM_PROGRAM
        args.insert(args.begin(), {HOST_SIM_PROGRAM, "--pty"});
        sim = std::make_unique<ChildProcess>(args, false);
        const std::string path = sim->first_line(20000ms);
        EXPECT_EQ(path.rfind("/dev/", 0), 0u) << "simulator said: " << path;
        return path;
#else
        (void)args;
        return "";
#endif
    }

    static HostRun host(std::vector<std::string> args) {
        args.insert(args.begin(), HOST_PROGRAM);
        ChildProcess p(args);
        auto r = p.finish(20000ms);
        return {r.exit_code, r.err, json_lines(r.out)};
    }

    std::string file(const std::string &name, const std::string &text) const {
        const std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    std::string dir;
    std::unique_ptr<ChildProcess> sim;
};

#ifdef HOST_SIM_PROGRAM
#define NEEDS_SIM()
#else
#define NEEDS_SIM() GTEST_SKIP() << "mpx23-sim is not part of this build"
#endif

TEST_F(EndToEnd, RoundsCarryTheSimulatorsReadings) {
    NEEDS_SIM();
    const std::string pty = start_sim({"--drift", "0", "--modules", "4"});
    const HostRun r =
        host({"--port", pty, "--interval", "0.2", "--timeout", "2", "--rounds", "3", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The one log line, after its time stamp: the two AC inputs chose the alarm checks.
    EXPECT_EQ(r.err.substr(std::min<size_t>(r.err.size(), 20)),
              "mpx23-host: device 1: PMBusPower:AlarmProfile 1 set to 2: the AC distribution "
              "reports two or more inputs\n");
    const auto blocks = r.with("block");
    ASSERT_EQ(blocks.size(), 3u);
    for (const auto &b : blocks) {
        EXPECT_EQ(b["data_id"].asUInt(), 1u);
        EXPECT_EQ(b["rcData"]["channel_count"].asUInt(), 4u);
        ASSERT_EQ(b["rc_channels"].size(), 4u);
        ASSERT_EQ(b["ac_channels"].size(), 2u);
        EXPECT_EQ(b["ac_channels"][1]["ub"].asDouble(), 230.0); // nominal, frozen
        EXPECT_EQ(b["ac_channels"][0]["f"].asDouble(), 50.0);
        EXPECT_EQ(b["dcData"]["voltage"].asDouble(), 53.0); // float charge 53.50 V, whole volts
        EXPECT_EQ(b["param47_a"].asUInt(), 5350u);
        EXPECT_EQ(b["param47_b"].asUInt(), 5640u);
        EXPECT_EQ(b["block"].asString().size(), 2u * (280 + 4 * 19 + 2 * 22));
    }
    EXPECT_EQ(blocks[0]["poll"]["commands"].asUInt(), 9u);
    EXPECT_EQ(blocks[2]["poll"]["commands"].asUInt(), 4u);
}

TEST_F(EndToEnd, InjectedFaultsAreSurvived) {
    NEEDS_SIM();
    const std::string pty =
        start_sim({"--fault", "silence:rounds=2-4", "--fault", "checksum:rounds=6"});
    const HostRun r =
        host({"--port", pty, "--interval", "0.2", "--timeout", "0.15", "--rounds", "4", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.with("block").size(), 4u);
    EXPECT_EQ(occurrences(r.err, "device 1: communication lost"), 1u) << r.err;
    EXPECT_EQ(occurrences(r.err, "device 1: communication re-established"), 1u) << r.err;
    EXPECT_EQ(occurrences(r.err, "frame dropped (bad CHKSUM"), 1u) << r.err;
}

TEST_F(EndToEnd, MainsFailureRaisesAndClearsItsAlarmOnce) {
    NEEDS_SIM();
    const std::string pty = start_sim({"--mains-fail-at", "2", "--mains-return-at", "4"});
    const std::string config = file("site.json", R"({"devices": [{"port": ")" + pty + R"(",
        "data_id": 7, "interval": 0.2, "timeout": 2,
        "alarm_settings": {"220600120010": 1, "220600130010": 1, "220600140010": 1}}]})");
    const std::string db = dir + "/h.db";
    const HostRun r = host({"--config", config, "--rounds", "5", "--json", "--history", db});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> seen; // alarm lines and blocks in the order they came
    for (const auto &l : r.lines)
        seen.push_back(l.isMember("alarm") ? l["alarm"].asString() + " " + l["signal_id"].asString()
                                           : "block");
    const std::vector<std::string> expected = {
        "block", std::string("raised ") + kAcFailure,  "block",
        "block", std::string("cleared ") + kAcFailure, "block",
        "block"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(r.with("alarm")[0]["data_id"].asUInt(), 7u);

    // The history keeps both transitions and every block.
    ChildProcess alarms({HOST_PROGRAM, "history", "--history", db, "--alarms", "--csv"});
    const auto csv = alarms.finish(20000ms);
    EXPECT_EQ(csv.exit_code, 0) << csv.err;
    EXPECT_EQ(occurrences(csv.out, ",7,220600140010,raised,"), 1u) << csv.out;
    EXPECT_EQ(occurrences(csv.out, ",7,220600140010,cleared,"), 1u) << csv.out;
    ChildProcess blocks({HOST_PROGRAM, "history", "--history", db, "--csv"});
    EXPECT_EQ(occurrences(blocks.finish(20000ms).out, "\n"), 1u + 5u); // header and five rows
}

TEST_F(EndToEnd, ControlRequestsTakeEffectInTheNextRound) {
    NEEDS_SIM();
    const std::string pty = start_sim({});
    const HostRun r = host({"--port", pty, "--interval", "0.2", "--timeout", "2", "--rounds", "2",
                            "--json", "--control", "419500200002", "--set",
                            R"({"signal_id": "4196A3201001", "SetValue": "54.1"})"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto set = r.with("set"), control = r.with("control"), blocks = r.with("block");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0]["result"].asInt(), 0);
    EXPECT_EQ(set[0]["status"].asInt(), 1);
    ASSERT_EQ(control.size(), 1u);
    EXPECT_EQ(control[0]["result"].asInt(), 0);
    EXPECT_EQ(control[0]["status"].asInt(), 1);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0]["param47_a"].asUInt(), 5350u);
    EXPECT_EQ(blocks[1]["param47_a"].asUInt(), 5410u); // the new float voltage, read back
    EXPECT_EQ(blocks[0]["rc_channels"][1]["on_off"].asUInt(), 0u);
    EXPECT_EQ(blocks[1]["rc_channels"][1]["on_off"].asUInt(), 1u); // module 2 switched off
    EXPECT_EQ(blocks[1]["rc_channels"][1]["out_i"].asDouble(), 0.0);
    EXPECT_EQ(blocks[1]["rc_channels"][0]["on_off"].asUInt(), 0u);
}

TEST_F(EndToEnd, RestartHandsTheStoredBlockToTheDevice) {
    NEEDS_SIM();
    const std::string pty = start_sim({});
    const std::string db = dir + "/h.db";
    const std::vector<std::string> args = {"--port", pty,      "--interval", "0.2", "--timeout",
                                           "2",      "--json", "--history",  db,    "--rounds"};
    auto with_rounds = [&](const char *n) {
        auto a = args;
        a.push_back(n);
        return a;
    };
    const HostRun first = host(with_rounds("2"));
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.err.find("cache restored"), std::string::npos);
    const std::string last = first.with("block").back()["block"].asString();

    const HostRun second = host(with_rounds("1"));
    ASSERT_EQ(second.exit_code, 0) << second.err;
    EXPECT_EQ(occurrences(second.err, "device 1: cache restored from history (" +
                                          std::to_string(last.size() / 2) + " bytes"),
              1u)
        << second.err;
    EXPECT_NE(second.err.find("LoadFromCache 1)"), std::string::npos) << second.err;
    // A cached block says nothing about states and alarms now: the first round asks for all.
    ASSERT_EQ(second.with("block").size(), 1u);
    EXPECT_EQ(second.with("block")[0]["poll"]["commands"].asUInt(), 9u);

    ChildProcess history({HOST_PROGRAM, "history", "--history", db, "--json"});
    const auto stored = json_lines(history.finish(20000ms).out);
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[1]["block"].asString(), last);
}

TEST_F(EndToEnd, SignalStopsTheHostCleanly) {
    const std::string db = dir + "/h.db";
    for (const char *interval : {"0.1", "0.001"}) { // the shortest interval keeps the loop busy
        ChildProcess p({HOST_PROGRAM, "--interval", interval, "--history", db});
        EXPECT_NE(p.first_line(20000ms).find("device 1  "), std::string::npos);
        p.signal(SIGTERM);
        const auto r = p.finish(20000ms);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.err.find("stopping on SIGTERM"), std::string::npos) << r.err;
        struct stat wal {};
        EXPECT_NE(stat((db + "-wal").c_str(), &wal), 0) << "the database was not closed";
    }
}

// One-shot use from a script: exact round counts, and a failure for what cannot be done.
TEST_F(EndToEnd, OneShotRunsEndAsScriptsExpect) {
    NEEDS_SIM();
    const std::string pty = start_sim({});
    HostRun r = host({"--port", pty, "--interval", "0.001", "--timeout", "2", "--rounds", "20",
                      "--json", "--get", "out_v"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.with("block").size(), 20u);
    EXPECT_EQ(r.with("get").size(), 1u);

    r = host({"--port", dir + "/no-such-tty", "--interval", "0.05", "--get", "out_v"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("out_v: not carried out: no round completed in 3 tries"),
              std::string::npos)
        << r.err;
}

// Overwrites one page in the middle of a database file.
void damage_page(const std::string &path, long page) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(page * 4096);
    const std::string junk(4096, '\xA5');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
}

TEST_F(EndToEnd, ADamagedHistoryIsToldNotAborted) {
    const std::string db = dir + "/h.db";
    HostRun r = host({"--interval", "0.001", "--rounds", "40", "--json", "--history", db});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (long page : {1, 3}) {
        damage_page(db, page);
        r = host({"--interval", "0.001", "--rounds", "1", "--json", "--history", db});
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_NE(r.err.find("mpx23-host: history " + db + ": damaged ("), std::string::npos)
            << r.err;
        EXPECT_TRUE(r.lines.empty());
    }
    ChildProcess report({HOST_PROGRAM, "history", "--history", db});
    EXPECT_EQ(report.finish(20000ms).exit_code, 1);

    r = host(
        {"--interval", "0.001", "--rounds", "2", "--json", "--history", db, "--history-recover"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find(": moved to " + db + ".damaged-"), std::string::npos) << r.err;
    EXPECT_EQ(r.with("block").size(), 2u);
    ChildProcess fresh({HOST_PROGRAM, "history", "--history", db, "--csv"});
    EXPECT_EQ(occurrences(fresh.finish(20000ms).out, "\n"), 1u + 2u);
}

// A history that can no longer grow (here a file size limit, as a full disk would) is told
// once, and the rounds go on.
TEST_F(EndToEnd, AFullHistoryIsToldOnce) {
    const std::string db = dir + "/h.db";
    const std::string command = std::string("trap '' XFSZ; ulimit -f 200; exec ") + HOST_PROGRAM +
                                " --interval 0.001 --rounds 300 --json --history " + db;
    ChildProcess p({"/bin/sh", "-c", command});
    const auto r = p.finish(60000ms);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(occurrences(r.out, "\"block\""), 300u);
    EXPECT_EQ(occurrences(r.err, "history: cannot store: "), 1u) << r.err;
}

// A serial server that goes away is told as it is: the broken connection, then each new
// reason for failing to reconnect.
TEST_F(EndToEnd, EachReasonOfFailureIsTold) {
#ifdef HOST_SIM_PROGRAM
    // The server answers two rounds and goes away in the middle of the third.
    sim = std::make_unique<ChildProcess>(
        std::vector<std::string>{HOST_SIM_PROGRAM, "--listen", "0", "--rounds", "2"}, false);
    const std::string address = sim->first_line(20000ms);
    ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address;
    ChildProcess p({HOST_PROGRAM, "--port", "tcp:" + address, "--interval", "0.05", "--json"});
    EXPECT_NE(p.first_line(20000ms).find("\"block\""), std::string::npos);
    std::this_thread::sleep_for(2s);
    p.signal(SIGTERM);
    const auto r = p.finish(20000ms);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // End of file, or a reset when the server died with a command unread.
    EXPECT_EQ(occurrences(r.err, ": read: "), 1u) << r.err;
    EXPECT_EQ(occurrences(r.err, "Connection refused"), 1u) << r.err;
#else
    GTEST_SKIP() << "mpx23-sim is not part of this build";
#endif
}

TEST_F(EndToEnd, BadStartsFailWithTheirMessages) {
    const std::string bad = file("bad.json", R"({"devices": [{"port": "sim", "interval": -1}]})");
    HostRun r = host({"--config", bad});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "mpx23-host: config: devices[0].interval: expected a number of seconds from "
                     "0.001 to 86400\n");

    const std::string refused =
        file("address.json", R"({"devices": [{"settings": {"address": 0}}]})");
    r = host({"--config", refused});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err,
              "mpx23-host: config: devices[0].settings.address: expected an integer from 1 to "
              "254\n");

    // Input that never ends, or nests without end, is refused with the file's name.
    const std::string deep = file("deep.json", std::string(100000, '[') + std::string(100000, ']'));
    for (const auto &[path, message] :
         {std::pair<std::string, std::string>{"/dev/zero", "config: /dev/zero: larger than"},
          {deep, "config: " + deep + ": not valid JSON"}}) {
        r = host({"--config", path});
        EXPECT_EQ(r.exit_code, 2) << path;
        EXPECT_EQ(r.err.rfind("mpx23-host: " + message, 0), 0u) << r.err;
    }
    // A request that cannot be right is refused before any polling.
    r = host({"--set", "{", "--port", dir + "/no-such-tty"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("mpx23-host: --set: expected", 0), 0u) << r.err;

    const std::pair<const char *, const char *> plugins[] = {
        {"/nonexistent/mpx23.so", "cannot load plug-in: /nonexistent/mpx23.so"},
        {HOST_FIXTURE_NO_ENTRY, "has no entry point get_providers"},
        {HOST_FIXTURE_EMPTY, "offers no device provider"},
    };
    for (const auto &[path, message] : plugins) {
        r = host({"--plugin", path, "--rounds", "1"});
        EXPECT_EQ(r.exit_code, 1) << path;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_TRUE(r.lines.empty());
    }
}

} // namespace
