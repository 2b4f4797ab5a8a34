// The host program against the simulator program on a pseudo-terminal, as it would poll a
// power system on a serial line.
#include "host/control/control_client.h"
#include "host/line/port_lock.h"
#include "host/stores/history.h"
#include "host/tests/child_process.h"

#include <json/reader.h>
#include <json/writer.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testing_host::ChildProcess;

const char *const kAcFailure = "220600140010";
// A local time as the host prints it: ISO 8601 with the offset.
const std::string kIsoTime = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)";

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
    // Nothing to tell: the host chose the alarm checks, the inputs did not have to.
    // Nothing told but where the host can be asked. A host another test killed may have left
    // the serial tools' lock of a terminal number now reused; taking it over is told, rightly.
    std::string told;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);)
        if (line.find("which no longer runs, taken over") == std::string::npos)
            told += line + "\n";
    EXPECT_EQ(told.find("mpx23-host: control socket: "), 20u) << r.err;
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << r.err;
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
        EXPECT_EQ(b["dcData"]["n_values"].size(), 4u);      // the four branches announced
        EXPECT_TRUE(b["rc_channels"][3]["on"].asBool());
        EXPECT_EQ(b["rc_channels"][3]["charge"].asString(), "float");
        EXPECT_TRUE(std::regex_match(b["time"].asString(), std::regex(kIsoTime))) << b["time"];
        EXPECT_EQ(b["param47_a"].asUInt(), 5350u);
        EXPECT_EQ(b["param47_b"].asUInt(), 5640u);
        EXPECT_EQ(b["block"].asString().size(), 2u * (280 + 4 * 19 + 2 * 22));
    }
    EXPECT_EQ(blocks[0]["poll"]["commands"].asUInt(), 9u);
    EXPECT_EQ(blocks[2]["poll"]["commands"].asUInt(), 4u);
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
    for (const char *state : {"raised", "cleared"}) {
        const std::regex row("\n\\d+," + kIsoTime + ",7,220600140010," + state +
                             ",AC input power failure,");
        EXPECT_EQ(std::distance(std::sregex_iterator(csv.out.begin(), csv.out.end(), row),
                                std::sregex_iterator()),
                  1)
            << csv.out;
    }
    ChildProcess blocks({HOST_PROGRAM, "history", "--history", db, "--csv"});
    EXPECT_EQ(occurrences(blocks.finish(20000ms).out, "\n"), 1u + 5u); // header and five rows
    ChildProcess newest({HOST_PROGRAM, "history", "--history", db, "--csv", "--device", "7",
                         "--last", "2", "--since", "1h"});
    EXPECT_EQ(occurrences(newest.finish(20000ms).out, "\n"), 1u + 2u);
    ChildProcess other({HOST_PROGRAM, "history", "--history", db, "--alarms", "--device", "8"});
    EXPECT_EQ(other.finish(20000ms).out, "");
}

// The version is the build's, in the form a package or a bug report quotes it.
TEST_F(EndToEnd, VersionAndShortHelp) {
    ChildProcess version({HOST_PROGRAM, "--version"});
    const auto v = version.finish(20000ms);
    EXPECT_EQ(v.exit_code, 0);
    EXPECT_TRUE(std::regex_match(v.out, std::regex("mpx23-host [0-9A-Za-z.+~-]+\n"))) << v.out;
    ChildProcess help({HOST_PROGRAM, "-h"});
    EXPECT_EQ(help.finish(20000ms).out.rfind("usage: mpx23-host", 0), 0u);
}

// A port and nothing else: the mains failure is raised and cleared on a plant of one input as
// on one of two; --no-alarms leaves them out.
TEST_F(EndToEnd, AlarmsAreOnWithoutConfiguration) {
    NEEDS_SIM();
    for (const char *inputs : {"1", "2"}) {
        const std::string pty = start_sim(
            {"--inputs", inputs, "--drift", "0", "--mains-fail-at", "2", "--mains-return-at", "4"});
        const HostRun r = host({"--port", pty, "--interval", "0.2", "--rounds", "5", "--json"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        std::vector<std::string> alarms;
        for (const auto &a : r.with("alarm"))
            alarms.push_back(a["alarm"].asString() + " " + a["signal_id"].asString());
        EXPECT_EQ(alarms, (std::vector<std::string>{std::string("raised ") + kAcFailure,
                                                    std::string("cleared ") + kAcFailure}))
            << inputs << " input(s)";
        sim.reset();
    }
    const std::string pty = start_sim({"--mains-fail-at", "2"});
    const HostRun quiet =
        host({"--port", pty, "--interval", "0.2", "--rounds", "3", "--json", "--no-alarms"});
    EXPECT_EQ(quiet.exit_code, 0) << quiet.err;
    EXPECT_EQ(quiet.with("alarm").size(), 0u);
}

TEST_F(EndToEnd, ControlRequestsTakeEffectInTheNextRound) {
    NEEDS_SIM();
    const std::string pty = start_sim({});
    const HostRun r = host({"--port", pty, "--interval", "0.2", "--timeout", "2", "--rounds", "2",
                            "--json", "--control", "module-off:2", "--set",
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
    // The setting reads back by the name it is set by, as precise as the device keeps it.
    EXPECT_DOUBLE_EQ(blocks[1]["setpoints"]["float-voltage"].asDouble(), 54.1);
    const HostRun get = host({"--port", pty, "--timeout", "2", "--json", "--get", "float-voltage"});
    ASSERT_EQ(get.with("get").size(), 1u) << get.err;
    EXPECT_DOUBLE_EQ(get.with("get")[0]["value"].asDouble(), 54.1);
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

// A reader that goes away stops the host as cleanly as a signal (the history closed, exit 0); a
// standard output that cannot be written is told, polling goes on to the end, and the exit
// status says the output was lost.
TEST_F(EndToEnd, ALostStandardOutputIsToldNotDiedOf) {
    const std::string db = dir + "/h.db";
    const std::string host_args =
        std::string(HOST_PROGRAM) + " --port sim --interval 0.01 --history " + db;
    ChildProcess piped_status({"/bin/bash", "-c",
                               host_args + " --json | head -n 2 >/dev/null; "
                                           "exit ${PIPESTATUS[0]}"});
    const auto r = piped_status.finish(20000ms);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("standard output closed: stopping"), std::string::npos) << r.err;
    struct stat wal {};
    EXPECT_NE(stat((db + "-wal").c_str(), &wal), 0) << "the database was not closed";

    ChildProcess full({"/bin/sh", "-c", host_args + " --rounds 3 >/dev/full"});
    const auto f = full.finish(20000ms);
    EXPECT_EQ(f.exit_code, 1) << f.err;
    EXPECT_EQ(occurrences(f.err, "standard output: cannot write: No space left on device"), 1u)
        << f.err;

    // So do the listings: all of them, or a failure.
    ChildProcess listing(
        {"/bin/sh", "-c", std::string(HOST_PROGRAM) + " history --history " + db + " >/dev/full"});
    const auto l = listing.finish(20000ms);
    EXPECT_EQ(l.exit_code, 1);
    EXPECT_NE(l.err.find("standard output: cannot write: No space left on device"),
              std::string::npos)
        << l.err;
}

// A file-size limit is a storage failure like a full disk: told, and the rounds go on.
TEST_F(EndToEnd, AFileSizeLimitIsAStorageFailure) {
    ChildProcess p({"/bin/sh", "-c",
                    "ulimit -f 400 && exec " + std::string(HOST_PROGRAM) +
                        " --port sim --interval 0.002 --rounds 600 --json --history " + dir +
                        "/h.db --capture " + dir + "/c.capture"});
    const auto r = p.finish(60000ms);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(json_lines(r.out).size(), 600u);
    EXPECT_EQ(occurrences(r.err, "history: cannot store"), 1u) << r.err;
    EXPECT_EQ(occurrences(r.err, "c.capture: File too large; recording waits"), 1u) << r.err;
}

// A second host on a history in use is refused with the first one's process; listing works.
TEST_F(EndToEnd, AHistoryServesOneHost) {
    const std::string db = dir + "/h.db";
    ChildProcess first({HOST_PROGRAM, "--port", "sim", "--interval", "0.1", "--history", db});
    EXPECT_NE(first.first_line(20000ms).find("device 1  "), std::string::npos);
    const HostRun second =
        host({"--port", "sim", "--interval", "0.1", "--rounds", "1", "--history", db});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("history " + db + ": in use by another host (process " +
                              std::to_string(first.process_id()) + ")"),
              std::string::npos)
        << second.err;
    ChildProcess listing({HOST_PROGRAM, "history", "--history", db});
    EXPECT_EQ(listing.finish(20000ms).exit_code, 0);
    first.signal(SIGTERM);
    EXPECT_EQ(first.finish(20000ms).exit_code, 0);
}

// A healthy history that may not be written is refused for the reason it is, not called
// damaged, and the listing still reads it: on a read-only file system (a read-only bind mount
// in a mount namespace of its own) and as a user who may not write the file.
TEST_F(EndToEnd, AReadOnlyHistoryIsToldAsItIs) {
    if (geteuid() != 0 || system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "needs root and a mount namespace";
    const std::string db = dir + "/h.db";
    ASSERT_EQ(
        host({"--port", "sim", "--interval", "0.01", "--rounds", "2", "--json", "--history", db})
            .exit_code,
        0);
    const std::string program = HOST_PROGRAM;
    const std::string try_both = program + " --port sim --rounds 1 --history " + db +
                                 "; echo host $?; " + program + " history --csv --history " + db +
                                 "; echo listing $?";
    ChildProcess read_only({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                            "mount --bind " + dir + " " + dir + " && mount -o remount,bind,ro " +
                                dir + " " + dir + " && " + try_both});
    auto r = read_only.finish(20000ms);
    EXPECT_NE(r.err.find("history " + db + ": the file system is read-only"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("damaged"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("host 1"), std::string::npos);
    EXPECT_EQ(occurrences(r.out, "\n"), 1u + 1u + 2u + 1u) << r.out; // host, header, rows
    EXPECT_NE(r.out.find("listing 0"), std::string::npos);

    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(db.c_str(), 0444), 0);
    // A build in a private folder (a package built in a temporary one) keeps the program from
    // any other user: that half needs a program the other user may run.
    const std::string as_nobody = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (system((as_nobody + "test -x " + program).c_str()) != 0)
        GTEST_SKIP() << program << " cannot be run by another user here";
    ChildProcess other_user({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                             "/bin/sh", "-c", try_both});
    r = other_user.finish(20000ms);
    EXPECT_NE(r.err.find("history " + db + ": the file may not be written (Permission denied)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("host 1"), std::string::npos);
    EXPECT_NE(r.out.find("listing 0"), std::string::npos) << r.err;
}

// SIGTERM stops the host; SIGHUP (a reload, which the host cannot do) is refused and it goes on.
// Opened to write, as the next host would: a commit a kill interrupted is rolled back.
size_t stored_blocks(const std::string &db) {
    host::History history(db, 100000);
    size_t n = 0;
    history.for_each_block([&](const host::StoredBlock &) { ++n; });
    return n;
}

// Blocks printed by a run stopped by `stop` after `blocks` of them were read, and the run.
std::pair<size_t, ChildProcess::Result> run_until(ChildProcess &p, size_t blocks, int stop) {
    size_t printed = 0;
    while (printed < blocks) {
        const std::string line = p.first_line(20000ms);
        if (line.empty())
            break;
        printed += line.find("\"block\"") != std::string::npos;
    }
    p.signal(stop);
    auto r = p.finish(20000ms);
    return {printed + occurrences(r.out, "\"block\""), std::move(r)};
}

TEST_F(EndToEnd, SignalStopsTheHostCleanly) {
    const std::string db = dir + "/h.db";
    for (const char *interval : {"0.1", "0.001"}) { // the shortest interval keeps the loop busy
        ChildProcess p({HOST_PROGRAM, "--port", "sim", "--interval", interval, "--history", db});
        EXPECT_NE(p.first_line(20000ms).find("device 1  "), std::string::npos);
        p.signal(SIGHUP);
        EXPECT_NE(p.first_line(20000ms), "");
        p.signal(SIGTERM);
        const auto r = p.finish(20000ms);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.err.find("SIGHUP: the configuration is read at start only"), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("stopping on SIGTERM"), std::string::npos) << r.err;
    }
}

// Blocks reach the history in batches: a stop loses none of them, a crash at most those of
// the commit interval (here 1 s of 0.05 s rounds, and the round under way).
TEST_F(EndToEnd, AStopLosesNoBlockAndACrashOnlyItsCommitInterval) {
    const auto host_with = [](const std::string &db) {
        return std::vector<std::string>{
            HOST_PROGRAM,       "--port", "sim",    "--interval", "0.05",
            "--history-commit", "1",      "--json", "--history",  db};
    };
    ChildProcess stopped(host_with(dir + "/stopped.db"));
    const auto [printed, r] = run_until(stopped, 30, SIGTERM);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(stored_blocks(dir + "/stopped.db"), printed);

    ChildProcess killed(host_with(dir + "/killed.db"));
    const size_t printed_before_kill = run_until(killed, 60, SIGKILL).first;
    const size_t stored = stored_blocks(dir + "/killed.db");
    EXPECT_LE(stored, printed_before_kill);
    EXPECT_LE(printed_before_kill - stored, 22u);
}

// One-shot use from a script: exact round counts, and a failure for what cannot be done.
TEST_F(EndToEnd, OneShotRunsEndAsScriptsExpect) {
    // A block field by name reads the block of the round just completed; one the block does not
    // hold fails after the round, a name that is none fails before any.
    HostRun r = host({"--port", "sim", "--rounds", "1", "--json", "--get", "module2.current"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(r.with("get").size(), 1u);
    EXPECT_EQ(r.with("get")[0]["value"], r.with("block").at(0)["rc_channels"][1]["out_i"]);
    r = host({"--port", "sim", "--json", "--get", "module99.current"});
    EXPECT_EQ(r.exit_code, 1);
    ASSERT_EQ(r.with("get").size(), 1u);
    EXPECT_NE(r.with("get")[0]["error"].asString().find("(rcData.channel_count), not 99"),
              std::string::npos);
    r = host({"--port", "sim", "--get", "dc.nonsense"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err,
              "mpx23-host: --get: no value named dc.nonsense (mpx23-host list shows them)\n");

    r = host({"--port", dir + "/no-such-tty", "--interval", "0.05", "--get", "out_v"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("out_v: not carried out: no round completed in 3 tries"),
              std::string::npos)
        << r.err;
    // Counted rounds end the same way on a port that never opens, and a run stopped short of
    // them says so in its exit status.
    r = host({"--port", dir + "/no-such-tty", "--interval", "0.05", "--rounds", "5"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("device 1: 5 rounds asked for: no round completed in 3 tries"),
              std::string::npos)
        << r.err;
    ChildProcess stopped({HOST_PROGRAM, "--port", "sim", "--interval", "0.2", "--rounds", "1000"});
    EXPECT_NE(stopped.first_line(20000ms).find("device 1  "), std::string::npos);
    stopped.signal(SIGTERM);
    EXPECT_EQ(stopped.finish(20000ms).exit_code, 1);
}

// A request that would switch every module off, or set a voltage no healthy plant runs at, is
// refused unconfirmed: told, recorded, and nothing polled, so nothing can reach the line.
TEST_F(EndToEnd, RequestsThatCouldBlackOutASiteWaitForConfirmation) {
    const std::string db = dir + "/refused.db", capture = dir + "/line.capture";
    const struct {
        const char *option, *request, *reason;
    } refused[] = {
        {"--control", "module-off:0",
         "module-off:0 switches every rectifier module off: add --all-modules to confirm"},
        {"--set", "float-voltage=70",
         "float-voltage 70 V is outside 42 to 58 V: add --force to send it"},
    };
    for (const auto &c : refused) {
        const HostRun r =
            host({"--port", "sim", "--history", db, "--capture", capture, c.option, c.request});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.err, std::string("mpx23-host: ") + c.option + ": " + c.reason + "\n");
    }
    EXPECT_FALSE(std::filesystem::exists(capture)) << "the line was opened";
    ChildProcess report({HOST_PROGRAM, "history", "--history", db, "--requests", "--json"});
    const auto rows = json_lines(report.finish(20000ms).out);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["request"].asString(), "419500200000");
    EXPECT_EQ(rows[1]["request"].asString(), R"({"signal_id": "4196A3201001", "SetValue": 70})");
    for (const auto &row : rows) {
        EXPECT_EQ(row["outcome"].asString(), "refused");
        EXPECT_NE(row["reason"].asString().find(": add --"), std::string::npos);
    }

    // Confirmed, it goes: every module is off in the next round.
    const HostRun r = host({"--port", "sim", "--rounds", "2", "--interval", "0.05", "--json",
                            "--control", "module-off:0", "--all-modules"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto blocks = r.with("block");
    ASSERT_EQ(blocks.size(), 2u);
    ASSERT_FALSE(blocks[1]["rc_channels"].empty());
    for (const auto &module : blocks[1]["rc_channels"])
        EXPECT_EQ(module["on_off"].asUInt(), 1u);
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
    HostRun r =
        host({"--port", "sim", "--interval", "0.001", "--rounds", "40", "--json", "--history", db});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (long page : {1, 3}) {
        damage_page(db, page);
        r = host(
            {"--port", "sim", "--interval", "0.001", "--rounds", "1", "--json", "--history", db});
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_NE(r.err.find("mpx23-host: history " + db + ": damaged ("), std::string::npos)
            << r.err;
        EXPECT_TRUE(r.lines.empty());
    }
    ChildProcess report({HOST_PROGRAM, "history", "--history", db});
    EXPECT_EQ(report.finish(20000ms).exit_code, 1);

    r = host({"--port", "sim", "--interval", "0.001", "--rounds", "2", "--json", "--history", db,
              "--history-recover"});
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
                                " --port sim --interval 0.001 --rounds 300 --json --history " + db;
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
    // End of file, or a reset when the server died with a command unread; the loss names the
    // last of them.
    EXPECT_EQ(occurrences(r.err, "device 1: tcp:" + address + ": read: "), 1u) << r.err;
    EXPECT_EQ(occurrences(r.err, "device 1: cannot open tcp:" + address + ": Connection refused"),
              1u)
        << r.err;
    EXPECT_EQ(occurrences(r.err, "device 1: communication lost: "), 1u) << r.err;
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
    // Nothing named to poll: the usage, not a simulated plant.
    r = host({});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("usage: mpx23-host", 0), 0u) << r.err;
    EXPECT_TRUE(r.lines.empty());

    const std::string refused =
        file("version.json",
             R"({"devices": [{"port": "sim", "settings": {"protocol_version": "0x1FF"}}]})");
    r = host({"--config", refused});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "mpx23-host: config: devices[0].settings.protocol_version: expected an "
                     "integer from 0 to 255 (or \"0x21\")\n");

    r = host({"capture", "show", refused});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("version.json: not a capture"), std::string::npos) << r.err;

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
        r = host({"--port", "sim", "--plugin", path, "--rounds", "1"});
        EXPECT_EQ(r.exit_code, 1) << path;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_TRUE(r.lines.empty());
    }
}

} // namespace

namespace {

// A port is polled by one program at a time: a second host is refused at once with the first's
// process, and the lock of a host that died without removing it is taken over.
TEST_F(EndToEnd, APortIsPolledByOneHostAtATime) {
    NEEDS_SIM();
    const std::string pty = start_sim({"--drift", "0"});
    ChildProcess first({HOST_PROGRAM, "--port", pty, "--interval", "0.2", "--timeout", "2"});
    ASSERT_NE(first.first_line(20000ms).find("device 1  "), std::string::npos);
    const HostRun second = host({"--port", pty, "--rounds", "1"});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("port " + pty + ": in use by process " +
                              std::to_string(first.process_id())),
              std::string::npos)
        << second.err;
    first.signal(SIGTERM);
    ASSERT_EQ(first.finish(20000ms).exit_code, 0);

    const std::string lock = host::PortLock::serial_lock_file(pty);
    if (lock.empty())
        GTEST_SKIP() << "no lock folder this user may write";
    ChildProcess gone({"/bin/true"});
    const pid_t dead = gone.process_id();
    gone.finish(20000ms);
    std::ofstream(lock) << std::setw(10) << dead << "\n";
    const HostRun after =
        host({"--port", pty, "--interval", "0.05", "--timeout", "2", "--rounds", "1", "--json"});
    EXPECT_EQ(after.exit_code, 0) << after.err;
    EXPECT_NE(after.err.find("the lock of process " + std::to_string(dead) +
                             ", which no longer runs, taken over"),
              std::string::npos)
        << after.err;
    EXPECT_EQ(access(lock.c_str(), F_OK), -1); // removed at the end
}

} // namespace

namespace {

// A port whose name comes to stand for another device (a USB adapter renumbered, here a link
// moved from one simulator's terminal to another's): when communication comes back and the
// plant has another shape, the host says so, and keeps it in the history beside the alarms.
TEST_F(EndToEnd, AnotherPlantAtTheSamePortIsTold) {
    NEEDS_SIM();
    const std::string first_pty = start_sim({"--drift", "0", "--modules", "3"});
    auto first_sim = std::move(sim);
    const std::string port = dir + "/port", db = dir + "/h.db";
    ASSERT_EQ(symlink(first_pty.c_str(), port.c_str()), 0);
    ChildProcess h(
        {HOST_PROGRAM, "--port", port, "--interval", "0.1", "--timeout", "0.3", "--history", db});
    ASSERT_NE(h.first_line(20000ms).find("device 1  "), std::string::npos);
    first_sim.reset(); // the first plant is gone
    ASSERT_TRUE(h.said("device 1: communication lost", 20000ms));
    const std::string second_pty = start_sim({"--drift", "0", "--modules", "6"});
    ASSERT_EQ(unlink(port.c_str()), 0);
    ASSERT_EQ(symlink(second_pty.c_str(), port.c_str()), 0);
    EXPECT_TRUE(h.said("device 1: a different power system answers at " + port +
                           ": 3 modules before, 6 now",
                       20000ms));
    h.signal(SIGTERM);
    EXPECT_EQ(h.finish(20000ms).exit_code, 0);
    ChildProcess alarms({HOST_PROGRAM, "history", "--history", db, "--alarms", "--csv"});
    EXPECT_NE(alarms.finish(20000ms).out.find("plant-changed,raised"), std::string::npos);
}

// A module's fault is the host's alarm, on the terminal, in the history and in the metrics (read
// through the control socket, as HTTP serves them), and clears with the fault.
TEST_F(EndToEnd, AModuleFaultIsAnAlarmOnEveryOutput) {
    const std::string config = file("site.json", R"({"devices": [{"port": "sim", "interval": 0.1,
        "sim": {"events": [{"round": 3, "event": "module_fault", "module": 2},
                           {"round": 50, "event": "module_clear", "module": 2}]}}]})");
    const std::string db = dir + "/h.db", socket = dir + "/host.sock";
    ChildProcess running(
        {HOST_PROGRAM, "--config", config, "--json", "--history", db, "--socket", socket});
    const std::string series = "mpx23_alarm_active{data_id=\"1\",alarm=\"host.module2.fault\","
                               "alarm_name=\"Rectifier module 2 fault\"} ";
    const auto metrics_say = [&](const std::string &value) {
        for (int tries = 0; tries < 300; ++tries) {
            const auto answer =
                host::ask_host(socket, R"({"request":"document","path":"/metrics"})", 5000ms);
            Json::Value a;
            std::istringstream in(answer.value_or(""));
            if (Json::parseFromStream(Json::CharReaderBuilder(), in, &a, nullptr) &&
                a["body"].asString().find(series + value + "\n") != std::string::npos)
                return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    };
    EXPECT_TRUE(metrics_say("1"));
    EXPECT_TRUE(metrics_say("0"));
    running.signal(SIGTERM);
    const auto r = running.finish(20000ms);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> told;
    for (const auto &line : json_lines(r.out))
        if (line["signal_id"] == "host.module2.fault")
            told.push_back(line["alarm"].asString() + " " + line["name"].asString() + " " +
                           line["detail"].asString().substr(0, 6));
    EXPECT_EQ(told, (std::vector<std::string>{"raised Rectifier module 2 fault fault:",
                                              "cleared Rectifier module 2 fault fault:"}));
    ChildProcess alarms({HOST_PROGRAM, "history", "--history", db, "--alarms", "--csv"});
    const auto csv = alarms.finish(20000ms).out;
    for (const char *state : {"raised", "cleared"})
        EXPECT_NE(
            csv.find(std::string(",1,host.module2.fault,") + state + ",Rectifier module 2 fault,"),
            std::string::npos)
            << csv;
}

// A control for a module the power system does not have is refused after the first round shows
// its modules, nothing sent; --force sends it, and the power system answers for itself.
TEST_F(EndToEnd, AControlForAModuleThePlantLacksIsRefusedUnlessForced) {
    HostRun r =
        host({"--port", "sim", "--interval", "0.05", "--json", "--control", "module-off:9"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("mpx23-host: --control: device 1: module-off:9: the power system has "
                         "modules 1 to 3: add --force to send it\n"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(r.with("control").empty());
    r = host(
        {"--port", "sim", "--interval", "0.05", "--json", "--control", "module-off:9", "--force"});
    EXPECT_EQ(r.exit_code, 1);
    ASSERT_EQ(r.with("control").size(), 1u) << r.err;
    EXPECT_EQ(r.with("control")[0]["outcome"].asString(), "refused by the device, RTN 0x06");
}

} // namespace
