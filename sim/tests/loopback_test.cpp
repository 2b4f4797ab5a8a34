// A device in the same process polls the simulator through the loopback, sending each next
// command from within process() as a driver does.
#include "sim/loopback.h"
#include "sim/tests/sim_test_util.h"

using namespace simtest;

namespace {

class ScriptedDevice : public PMBusProtocol {
public:
    std::vector<std::pair<uint8_t, uint8_t>> script; // sent one per reply
    std::vector<std::vector<uint8_t>> replies;       // VER ADR CID1 RTN LENID INFO
    bool reentered = false;

    void start() { send_next(); }

    int process(unsigned char *data, unsigned len) override {
        reentered |= depth > 0;
        ++depth;
        const int r = PMBusProtocol::process(data, len);
        --depth;
        return r;
    }
    int process_payload() override {
        const unsigned lenid = rx_frame[4] | rx_frame[5] << 8;
        replies.emplace_back(rx_frame, rx_frame + 6 + lenid / 2);
        send_next();
        return 1;
    }

private:
    void send_next() {
        if (next == script.size())
            return;
        const auto [cid1, cid2] = script[next++];
        const unsigned char all = 0xFF;
        if (cid1 == kRc || cid2 == 0x47)
            write_pmbus_cmd(cid1, cid2);
        else
            write_pmbus_cmd(cid1, cid2, &all, 1);
    }
    size_t next = 0;
    int depth = 0;
};

const std::vector<std::pair<uint8_t, uint8_t>> kFullRound = {{kDc, 0x47}, {kAc, 0x42}, {kAc, 0x43},
                                                             {kAc, 0x44}, {kRc, 0x42}, {kRc, 0x43},
                                                             {kRc, 0x44}, {kDc, 0x42}, {kDc, 0x44}};

struct CountingHost : kvo::HostServices {
    int sends = 0, resets = 0, opens = 0;
    std::vector<std::string> log;
    int SendData(KVOSPDevice &, const unsigned char *, unsigned len) override {
        ++sends;
        return static_cast<int>(len);
    }
    void Reset(KVOSPDevice &) override { ++resets; }
    int OpenPort(KVOSPDevice &) override { return ++opens; }
    void InfoLog(KVOVDevice &, const std::string &line) override { log.push_back(line); }
};

} // namespace

TEST(Loopback, PumpRunsAWholeRoundWithoutReentry) {
    sim::Simulator s;
    sim::Loopback link(s);
    ScriptedDevice dev;
    dev.script = kFullRound;
    dev.start();
    EXPECT_EQ(link.pump(dev), 9);
    EXPECT_FALSE(dev.reentered);
    EXPECT_TRUE(link.pending().empty());
    EXPECT_EQ(link.commands(), 9u);
    EXPECT_EQ(s.round(), 1u);
    ASSERT_EQ(dev.replies.size(), 9u);
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(dev.replies[i][2], kFullRound[i].first);
        EXPECT_EQ(dev.replies[i][3], 0);
    }
    EXPECT_EQ(dev.replies[4].size(), 6u + 13); // three modules' analogue values
}

TEST(Loopback, OtherServicesGoToTheNextHost) {
    CountingHost host;
    kvo::ScopedServices outer(host);
    sim::Simulator s;
    {
        sim::Loopback link(s, &host);
        ScriptedDevice dev;
        dev.script = {{kRc, 0x42}};
        dev.start();
        dev.Reset();
        dev.OpenPort();
        dev.InfoLog("error {}", 7);
        EXPECT_EQ(link.pump(dev), 1);
        EXPECT_EQ(host.sends, 1);
        EXPECT_EQ(host.resets, 1);
        EXPECT_EQ(host.opens, 1);
        EXPECT_EQ(host.log, std::vector<std::string>{"error 7"});
    }
    EXPECT_EQ(&kvo::services(), &host); // the loopback put back what was there
}

TEST(Loopback, EngineCopesWithEchoSplitAndNoise) {
    sim::Config c;
    c.faults = {sim::parse_fault("echo"), sim::parse_fault("split:pieces=5"),
                sim::parse_fault("noise:bytes=3"), sim::parse_fault("checksum:cmd=4143")};
    sim::Simulator s(c);
    sim::Loopback link(s);
    ScriptedDevice dev;
    dev.script = {{kDc, 0x47}, {kAc, 0x42}, {kRc, 0x42}, {kRc, 0x43}};
    dev.start();
    EXPECT_EQ(link.pump(dev), 3); // the fourth reply fails its checksum and ends the exchange
    EXPECT_EQ(dev.fault_count(FrameFault::Echo), 4u);
    EXPECT_EQ(dev.fault_count(FrameFault::Checksum), 1u);
    EXPECT_EQ(dev.replies.at(2)[2], kRc);
}
