// The subagent against the system's own agent, as a NOC meets it: snmpd as the AgentX master on a
// free loopback port, snmpget and snmpwalk over v2c and v3 (authPriv), snmptrapd as the trap
// receiver; the host polling the simulator on a pseudo-terminal. Skipped where the net-snmp
// programs are missing (scripts/install-deps brings them).
#include "host/tests/child_process.h"
#include "host/tests/mib_file.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testing_host::ChildProcess;

const std::string kObjects = ".1.3.6.1.4.1.32473.1";
const std::string kDcVoltage = kObjects + ".2.1.8.1"; // plant 1, 0.01 V
const std::string kRoundsFailed = "mpx23_rounds_failed_total";

std::string program(const std::string &name) {
    for (const char *dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"})
        if (access((dir + name).c_str(), X_OK) == 0)
            return dir + name;
    return "";
}

// A port nothing listens on now, of the kind asked (SOCK_DGRAM, SOCK_STREAM).
int free_port(int type) {
    const int s = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &length);
    close(s);
    return ntohs(a.sin_port);
}

ChildProcess::Result run(std::vector<std::string> args) {
    args[0] = program(args[0]);
    ChildProcess p(args);
    return p.finish(30000ms);
}

template <class Check> bool within(std::chrono::milliseconds limit, Check check) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (check())
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return check();
}

// "30 30 31 23": an octet string as snmptrapd shows one that is not plain ASCII.
std::string hex(const std::string &text) {
    std::string out;
    char byte[4];
    for (unsigned char c : text) {
        std::snprintf(byte, sizeof byte, "%02X ", c);
        out += byte;
    }
    return out;
}

struct Snmp : ::testing::Test {
    void SetUp() override {
        for (const char *tool : {"snmpd", "snmptrapd", "snmpget", "snmpwalk", "curl"})
            if (program(tool).empty())
                GTEST_SKIP() << tool << " is not installed (scripts/install-deps)";
#ifndef HOST_SIM_PROGRAM
        GTEST_SKIP() << "mpx23-sim is not part of this build";
#endif
        char name[] = "/tmp/host-snmp-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        // The agents and tools keep their state here rather than in /var/lib/snmp.
        setenv("SNMP_PERSISTENT_DIR", (dir + "/persist").c_str(), 1);
        agent = "127.0.0.1:" + std::to_string(free_port(SOCK_DGRAM));
        const std::string sink = "127.0.0.1:" + std::to_string(free_port(SOCK_DGRAM));
        http = "127.0.0.1:" + std::to_string(free_port(SOCK_STREAM));
        std::ofstream(dir + "/snmptrapd.conf") << "disableAuthorization yes\n";
        trapd = std::make_unique<ChildProcess>(std::vector<std::string>{
            program("snmptrapd"), "-f", "-n", "-On", "-Lf", dir + "/traps.log", "-C", "-c",
            dir + "/snmptrapd.conf", "udp:" + sink});
        std::ofstream(dir + "/snmpd.conf")
            << "agentAddress udp:" << agent << "\nmaster agentx\nagentXSocket " << dir
            << "/agentx\nrocommunity public 127.0.0.1\n"
            << "createUser noc SHA \"noc-auth-secret\" AES \"noc-priv-secret\"\nrouser noc priv\n"
            << "trap2sink " << sink << " public\n";
        start_snmpd();
    }
    void TearDown() override {
        host.reset();
        sim.reset();
        snmpd.reset();
        trapd.reset();
        unsetenv("SNMP_PERSISTENT_DIR");
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }

    // `lowest`: the agent at the lowest priority, so that on a busy machine what it takes is not
    // taken from the host's rounds.
    void start_snmpd(bool lowest = false) {
        std::filesystem::remove(dir + "/agentx");
        std::vector<std::string> args{
            program("snmpd"), "-f", "-Lf", dir + "/snmpd.log", "-C", "-c", dir + "/snmpd.conf"};
        if (lowest)
            args.insert(args.begin(), {program("nice"), "-n", "19"});
        snmpd = std::make_unique<ChildProcess>(args);
        ASSERT_TRUE(within(10000ms, [&] { return std::filesystem::exists(dir + "/agentx"); }))
            << "snmpd did not open its AgentX socket";
    }

    // The host polling the simulator every 0.2 s, joined to the agent.
    void start_host(std::vector<std::string> sim_args = {}) {
#ifdef HOST_SIM_PROGRAM
        sim_args.insert(sim_args.begin(), {HOST_SIM_PROGRAM, "--pty", "--drift", "0"});
        sim = std::make_unique<ChildProcess>(sim_args, false);
        const std::string pty = sim->first_line(20000ms);
        ASSERT_EQ(pty.rfind("/dev/", 0), 0u) << pty;
        host = std::make_unique<ChildProcess>(std::vector<std::string>{
            HOST_PROGRAM, "--port", pty, "--interval", "0.2", "--timeout", "1", "--json",
            "--agentx", dir + "/agentx", "--http", http, "--socket", dir + "/ctl"});
        ASSERT_TRUE(within(20000ms, [&] { return get(kDcVoltage).find("INTEGER") != npos; }))
            << get(kDcVoltage);
#else
        (void)sim_args;
#endif
    }

    std::string get(const std::string &oid) {
        return run({"snmpget", "-v2c", "-c", "public", "-On", "-t", "2", agent, oid}).out;
    }
    std::string walk() {
        return run({"nice", "-n", "19", program("snmpwalk"), "-v2c", "-c", "public", "-On", "-t",
                    "5", agent, kObjects})
            .out;
    }
    std::string metrics() {
        return run({"curl", "-s", "http://" + http + "/metrics"}).out;
    }
    // The traps received so far, every run of white space as one space.
    std::string traps() {
        std::ifstream in(dir + "/traps.log");
        std::stringstream text;
        text << in.rdbuf();
        return std::regex_replace(text.str(), std::regex("\\s+"), " ");
    }
    bool trap_arrives(const std::string &what) {
        return within(15000ms, [&] { return traps().find(what) != npos; });
    }
    // The rounds the host printed so far: each round's time on the line, in ms.
    std::vector<double> round_times() {
        std::vector<double> times;
        static const std::regex elapsed(R"re("elapsed_ms":([0-9.e+-]+))re");
        for (std::string line; !(line = host->first_line(10ms)).empty();) {
            std::smatch m;
            if (std::regex_search(line, m, elapsed))
                times.push_back(std::stod(m[1]));
        }
        return times;
    }
    // Reads the host's rounds for `duration`: the longest time between two, in seconds.
    double longest_gap(std::chrono::milliseconds duration) {
        using Clock = std::chrono::steady_clock;
        const auto end = Clock::now() + duration;
        auto last = Clock::now();
        double longest = 0;
        while (Clock::now() < end) {
            if (host->first_line(100ms).find("elapsed_ms") == npos)
                continue;
            longest = std::max(longest, std::chrono::duration<double>(Clock::now() - last).count());
            last = Clock::now();
        }
        return longest;
    }
    double failed_rounds() {
        double failed = 0;
        std::istringstream in(metrics());
        for (std::string line; std::getline(in, line);)
            if (line.rfind(kRoundsFailed + "{", 0) == 0)
                failed += std::stod(line.substr(line.rfind(' ') + 1));
        return failed;
    }

    static constexpr size_t npos = std::string::npos;
    std::string dir, agent, http;
    std::unique_ptr<ChildProcess> trapd, snmpd, sim, host;
};

TEST_F(Snmp, AWalkReadsWhatTheMetricsReadAndOnlyWhatTheMibDefines) {
    start_host();
    // The readings are frozen: every round has the same DC voltage.
    std::smatch m;
    const std::string scrape = metrics();
    ASSERT_TRUE(
        std::regex_search(scrape, m, std::regex(R"(mpx23_dc_voltage_volts\{[^}]*\} (\S+))")))
        << scrape;
    const long hundredths = std::lround(std::stod(m[1]) * 100);
    EXPECT_EQ(get(kDcVoltage), kDcVoltage + " = INTEGER: " + std::to_string(hundredths) + "\n");
    const auto v3 =
        run({"snmpget", "-v3", "-l", "authPriv", "-u", "noc", "-a", "SHA", "-A", "noc-auth-secret",
             "-x", "AES", "-X", "noc-priv-secret", "-On", agent, kDcVoltage});
    EXPECT_EQ(v3.out, kDcVoltage + " = INTEGER: " + std::to_string(hundredths) + "\n") << v3.err;

    const auto mib = testing_host::read_mib(HOST_SOURCE_DIR "/host/snmp/MPX23-MIB.txt");
    std::istringstream lines(walk());
    size_t served = 0;
    for (std::string line; std::getline(lines, line); ++served) {
        std::string oid = line.substr(1, line.find(' ') - 1);
        // The instance's object: the longest part of its OID the MIB names.
        while (!oid.empty() && !mib.count(oid))
            oid.erase(oid.rfind('.') == npos ? 0 : oid.rfind('.'));
        ASSERT_FALSE(oid.empty()) << line << ": not defined in the MIB";
        EXPECT_EQ(mib.at(oid).macro, "OBJECT-TYPE") << line;
    }
    EXPECT_GT(served, 40u);
    // Read-only: a write is refused by the agent.
    const auto set =
        run({"snmpset", "-v2c", "-c", "public", agent, kObjects + ".8.1.3.1.1", "i", "5000"});
    EXPECT_NE(set.exit_code, 0);
}

TEST_F(Snmp, EveryTransitionLeavesAsATrap) {
    start_host({"--mains-fail-at", "5", "--mains-return-at", "12"});
    const std::string alarm = ".1.3.6.1.4.1.32473.1.9.2.0 = STRING: \"220600140010\" "
                              ".1.3.6.1.4.1.32473.1.9.3.0 = STRING: \"AC input power failure\" "
                              ".1.3.6.1.4.1.32473.1.9.4.0 = Hex-STRING: " +
                              hex("001#48V直流系统交流输入停电告警");
    EXPECT_TRUE(trap_arrives("OID: .1.3.6.1.4.1.32473.0.1 .1.3.6.1.4.1.32473.1.9.1.0 = Gauge32: "
                             "1 " +
                             alarm))
        << traps();
    EXPECT_TRUE(trap_arrives("OID: .1.3.6.1.4.1.32473.0.2 .1.3.6.1.4.1.32473.1.9.1.0 = Gauge32: "
                             "1 " +
                             alarm))
        << traps();
    sim.reset();
    EXPECT_TRUE(trap_arrives("OID: .1.3.6.1.4.1.32473.0.3 .1.3.6.1.4.1.32473.1.9.1.0 = Gauge32: "
                             "1 .1.3.6.1.4.1.32473.1.9.2.0 = STRING: \"communication-lost\""))
        << traps();
    // One trap for each transition the terminal printed, no more.
    const auto printed = host->finish(100ms).out;
    size_t transitions = 0;
    for (size_t at = printed.find("\"alarm\":"); at != npos;
         at = printed.find("\"alarm\":", at + 1))
        ++transitions;
    const std::string all = traps();
    size_t sent = 0;
    for (const char *kind : {"32473.0.1 ", "32473.0.2 "})
        for (size_t at = all.find(kind); at != npos; at = all.find(kind, at + 1))
            ++sent;
    EXPECT_EQ(sent, transitions);
    EXPECT_EQ(transitions, 2u);
}

TEST_F(Snmp, AnAgentThatHangsOrRestartsCostsNoRound) {
    start_host();
    round_times();
    // An agent that hangs first: the host does not wait for it.
    snmpd->signal(SIGSTOP);
    EXPECT_LT(longest_gap(5000ms), 1.5);
    snmpd->signal(SIGCONT);
    round_times();
    const auto start = std::chrono::steady_clock::now();
    snmpd.reset(); // then killed, as a crash would
    ASSERT_TRUE(host->said("snmp: lost the master agent", 15000ms));
    start_snmpd();
    ASSERT_TRUE(host->said("re-established", 20000ms));
    EXPECT_NE(get(kDcVoltage).find("INTEGER"), npos);
    // The rounds went on at their pace all along: none failed, none waited for the agent.
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(static_cast<double>(round_times().size()), seconds / 0.2 * 0.5);
    EXPECT_EQ(failed_rounds(), 0);
}

// The walks and the agent answering them run at the lowest priority: a round measures the host's
// own loop, not the CPU that a walk's two other programs take on a busy machine.
TEST_F(Snmp, WalksInARowLeaveTheRoundsOnTime) {
    snmpd.reset();
    start_snmpd(true);
    start_host();
    std::this_thread::sleep_for(2000ms);
    const std::vector<double> before = round_times();
    ASSERT_GE(before.size(), 5u);
    const double longest_before = *std::max_element(before.begin(), before.end());
    for (int i = 0; i < 200; ++i)
        ASSERT_NE(walk().find(kDcVoltage), npos) << "walk " << i;
    const std::vector<double> during = round_times();
    ASSERT_GE(during.size(), 10u);
    EXPECT_LE(*std::max_element(during.begin(), during.end()), longest_before + 50);
    EXPECT_EQ(failed_rounds(), 0);
}

} // namespace
