// Each fault does what it says on the line, at its rate or in its rounds, and only there.
#include "sim/tests/sim_test_util.h"

#include <stdexcept>

using namespace simtest;
using sim::FaultKind;
using std::chrono::microseconds;
using std::chrono::milliseconds;

namespace {

sim::Simulator with_fault(const std::string &rule, uint64_t seed = 1) {
    sim::Config c;
    c.seed = seed;
    c.faults = {sim::parse_fault(rule)};
    return sim::Simulator(c);
}

// What frame::Receiver makes of `bytes`: the events that are not None, faults by kind.
std::vector<std::string> receiver_events(const std::string &bytes) {
    std::vector<std::string> out;
    frame::Receiver rx;
    for (unsigned char c : bytes) {
        const auto e = rx.push(c);
        if (e == frame::Receiver::Event::Frame)
            out.push_back("frame");
        else if (e == frame::Receiver::Event::Fault)
            out.push_back("fault " + std::to_string(static_cast<int>(rx.fault())));
    }
    return out;
}

std::string fault_event(FrameFault f) {
    return "fault " + std::to_string(static_cast<int>(f));
}

} // namespace

TEST(Faults, RulesParseWithDefaultsAndRejectNonsense) {
    auto s = sim::parse_fault("split");
    EXPECT_EQ(s.kind, FaultKind::Split);
    EXPECT_EQ(s.rate, 1.0); // neither rate nor rounds: every reply
    EXPECT_EQ(s.amount, 3u);
    EXPECT_EQ(s.delay, milliseconds(20));

    s = sim::parse_fault("rtn:code=0x80:rounds=2,5-7:cmd=4143");
    EXPECT_EQ(s.kind, FaultKind::ReturnCode);
    EXPECT_EQ(s.amount, 0x80u);
    EXPECT_EQ(s.rate, 0.0);
    EXPECT_EQ(s.rounds, (std::vector<unsigned>{2, 5, 6, 7}));
    EXPECT_EQ(s.cid1, 0x41);
    EXPECT_EQ(s.cid2, 0x43);
    EXPECT_EQ(sim::parse_fault("slow:ms=50:rate=0.25").delay, milliseconds(50));
    EXPECT_EQ(sim::parse_fault("slow:rate=0.25").rate, 0.25);

    for (const char *bad :
         {"", "hiccup", "checksum:rate=2", "checksum:rate", "split:ms=5", "noise:bytes=0",
          "rtn:code=0", "echo:rounds=3-1", "group:cmd=41", "pace:baud=abc", "silence:rounds=x"})
        EXPECT_THROW(sim::parse_fault(bad), std::invalid_argument) << bad;
}

TEST(Faults, BrokenChecksumsAreRejectedForWhatTheyAre) {
    auto s = with_fault("checksum");
    EXPECT_EQ(receiver_events(sim::joined(s.on_bytes(command(kRc, 0x42)))),
              std::vector<std::string>{fault_event(FrameFault::Checksum)});
    auto l = with_fault("lchecksum");
    EXPECT_EQ(receiver_events(sim::joined(l.on_bytes(command(kRc, 0x42)))),
              std::vector<std::string>{fault_event(FrameFault::LengthChecksum)});
}

TEST(Faults, WrongGroupAndErrorReturn) {
    auto g = with_fault("group");
    const auto r = ask(g, kRc, 0x42);
    EXPECT_EQ(r.cid1, kDc);
    EXPECT_EQ(r.info.size(), 13u); // the rectifier answer under another group's name

    auto e = with_fault("rtn:code=0x85");
    const auto err = ask(e, kRc, 0x45, {0x2F, 0});
    EXPECT_EQ(err.rtn, 0x85);
    EXPECT_TRUE(err.info.empty());
    EXPECT_TRUE(e.plant().modules[0].on); // refused, so not carried out
}

TEST(Faults, SilenceSendsNothingAndDoesNothing) {
    auto s = with_fault("silence:cmd=4145");
    EXPECT_TRUE(s.on_bytes(command(kRc, 0x45, {0x2F, 0})).empty());
    EXPECT_TRUE(s.plant().modules[0].on);
    EXPECT_EQ(ask(s, kRc, 0x42).rtn, 0); // other commands are answered
}

// A babbling line: stray bytes for the whole time at the line's rate, never a frame, and the
// command not carried out.
TEST(Faults, BabbleSendsNoFrameForItsWholeTime) {
    auto s = with_fault("babble:ms=200:cmd=4145");
    const auto chunks = s.on_bytes(command(kRc, 0x45, {0x2F, 0}));
    microseconds total(0);
    size_t bytes = 0;
    for (const auto &c : chunks) {
        total += c.delay_before;
        bytes += c.bytes.size();
    }
    EXPECT_GE(total, milliseconds(200));
    EXPECT_LT(total, milliseconds(220));
    EXPECT_NEAR(static_cast<double>(bytes), 0.2 * 9600 / 10, 20.0); // 10 bits a byte at 9600
    EXPECT_TRUE(receiver_events(sim::joined(chunks)).empty());
    EXPECT_TRUE(s.plant().modules[0].on);
    EXPECT_THROW(sim::parse_fault("babble:ms=0"), std::invalid_argument);
}

TEST(Faults, TruncatedReplyNeverEndsAndTheNextFrameCutsIt) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        auto s = with_fault("truncate:cmd=4247", seed);
        const auto cut = sim::joined(s.on_bytes(command(kDc, 0x47)));
        const auto whole = sim::joined(s.on_bytes(command(kRc, 0x42)));
        ASSERT_GE(cut.size(), 2u);
        EXPECT_EQ(cut[0], '~');
        EXPECT_EQ(cut.find('\r'), std::string::npos);
        EXPECT_LT(cut.size(), frame::encoded_size(18));
        EXPECT_EQ(receiver_events(cut + whole),
                  (std::vector<std::string>{fault_event(FrameFault::Cut), "frame"}));
    }
}

TEST(Faults, NoiseBeforeSoiLeavesTheFrameIntact) {
    auto s = with_fault("noise:bytes=40");
    const auto out = sim::joined(s.on_bytes(command(kRc, 0x42)));
    const auto soi = out.find('~');
    EXPECT_EQ(soi, 40u);
    const auto frames = frames_in(out);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].cid1, kRc);
}

TEST(Faults, SplitEchoSlowAndPaceShapeTheChunks) {
    auto sp = with_fault("split:pieces=4:gap=15");
    auto chunks = sp.on_bytes(command(kRc, 0x42));
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[0].delay_before, microseconds(0));
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(chunks[i].delay_before, milliseconds(15));
        EXPECT_FALSE(chunks[i].bytes.empty());
    }
    EXPECT_EQ(frames_in(sim::joined(chunks)).size(), 1u);
    EXPECT_EQ(frames_in(chunks[0].bytes).size(), 0u);

    const std::string cmd = command(kDc, 0x42, kAll);
    auto ec = with_fault("echo");
    chunks = ec.on_bytes(cmd);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].bytes, cmd);
    EXPECT_EQ(frames_in(chunks[1].bytes).at(0).cid1, kDc);

    auto sl = with_fault("slow:ms=250");
    chunks = sl.on_bytes(cmd);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].delay_before, milliseconds(250));

    auto pa = with_fault("pace:baud=1200");
    chunks = pa.on_bytes(cmd);
    const std::string plain = sim::joined(sim::Simulator().on_bytes(cmd));
    ASSERT_EQ(chunks.size(), plain.size());
    for (const auto &c : chunks) {
        EXPECT_EQ(c.bytes.size(), 1u);
        EXPECT_EQ(c.delay_before, microseconds(8334)); // 10 bits at 1200 baud
    }
    EXPECT_EQ(sim::joined(chunks), plain);
}

TEST(Faults, RateAndRoundsDecideWhichRepliesAreStruck) {
    auto count_struck = [](uint64_t seed) {
        auto s = with_fault("silence:rate=0.3", seed);
        std::vector<bool> silent;
        for (int i = 0; i < 300; ++i)
            silent.push_back(s.on_bytes(command(kRc, 0x42)).empty());
        return silent;
    };
    const auto a = count_struck(7), b = count_struck(7), c = count_struck(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    const auto struck = std::count(a.begin(), a.end(), true);
    EXPECT_GT(struck, 60);
    EXPECT_LT(struck, 120);

    auto r = with_fault("silence:rounds=2");
    EXPECT_FALSE(r.on_bytes(command(kRc, 0x42)).empty()); // round 0, before any round started
    EXPECT_FALSE(r.on_bytes(command(kDc, 0x47)).empty()); // round 1
    EXPECT_TRUE(r.on_bytes(command(kDc, 0x47)).empty());  // round 2 begins, silent
    EXPECT_TRUE(r.on_bytes(command(kAc, 0x42, kAll)).empty());
    EXPECT_FALSE(r.on_bytes(command(kDc, 0x47)).empty()); // round 3
}

TEST(Faults, FaultsDoNotChangeTheReadings) {
    sim::Config quiet;
    quiet.seed = 9;
    sim::Config noisy = quiet;
    noisy.faults = {sim::parse_fault("noise:rate=0.5"), sim::parse_fault("truncate:rate=0.2")};
    sim::Simulator a(quiet), b(noisy);
    for (int round = 0; round < 5; ++round) {
        a.on_bytes(command(kDc, 0x47));
        b.on_bytes(command(kDc, 0x47));
    }
    EXPECT_EQ(a.plant().ac[0].phase[0].value(), b.plant().ac[0].phase[0].value());
    EXPECT_EQ(a.plant().dc.voltage.value(), b.plant().dc.voltage.value());
}
