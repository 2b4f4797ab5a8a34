// Reply framing: the worked rectifier frame, checksums recomputed by hand, blank fill, VER.
#include "sim/tests/sim_test_util.h"
#include "sim/wire.h"

#include <cstdio>

using namespace simtest;

namespace {

// CHKSUM and LCHKSUM recomputed from the characters, without the shared codec.
void expect_sound_frame(const std::string &f) {
    ASSERT_GE(f.size(), 18u);
    ASSERT_EQ(f.front(), '~');
    ASSERT_EQ(f.back(), '\r');
    unsigned length = 0;
    ASSERT_EQ(std::sscanf(f.substr(9, 4).c_str(), "%4x", &length), 1);
    const unsigned lenid = length & 0x0FFF;
    const unsigned nibbles = (length >> 12) + (lenid >> 8) + (lenid >> 4 & 0xF) + (lenid & 0xF);
    EXPECT_EQ(nibbles % 16, 0u) << f;
    EXPECT_EQ(f.size(), 18u + lenid) << f;
    unsigned sum = 0;
    for (size_t i = 1; i < f.size() - 5; ++i)
        sum += static_cast<unsigned char>(f[i]);
    unsigned sent = 0;
    ASSERT_EQ(std::sscanf(f.substr(f.size() - 5, 4).c_str(), "%4x", &sent), 1);
    EXPECT_EQ((sum + sent) % 65536, 0u) << f;
}

} // namespace

TEST(Wire, RectifierReplyIsTheWorkedFrame) {
    sim::Simulator s(frozen());
    auto &p = s.plant();
    p.rc_voltage.set(53.00);
    p.modules[0].current.set(10.00);
    p.modules[1].current.set(12.00);
    p.modules[2].current.set(0.0);
    const std::string reply = sim::joined(s.on_bytes(std::string("~200141420000FDB2\r")));
    EXPECT_EQ(reply, "~20014100501A0014B40303E80004B000000000F86D\r");
    expect_sound_frame(reply);
}

TEST(Wire, EveryReplyPassesBothChecksumsAndTheEngineParser) {
    sim::Config c;
    c.seed = 42;
    sim::Simulator s(c);
    const std::vector<std::pair<uint8_t, uint8_t>> queries = {
        {kDc, 0x47}, {kAc, 0x42}, {kAc, 0x43}, {kAc, 0x44}, {kRc, 0x42},
        {kRc, 0x43}, {kRc, 0x44}, {kDc, 0x42}, {kDc, 0x44}};
    for (auto [cid1, cid2] : queries) {
        const auto info = cid1 == kRc || cid2 == 0x47 ? std::vector<uint8_t>{} : kAll;
        const std::string reply = sim::joined(s.on_bytes(command(cid1, cid2, info)));
        expect_sound_frame(reply);
        const auto frames = frames_in(reply);
        ASSERT_EQ(frames.size(), 1u) << reply;
        EXPECT_EQ(frames[0].cid1, cid1);
        EXPECT_EQ(frames[0].rtn, 0);
        EXPECT_EQ(frames[0].adr, 1);
    }
}

TEST(Wire, BlankFillGoesAsTwoBlanksPerByteUnderAValidChecksum) {
    sim::Info info;
    info.u8(0x07);
    info.u16(0x1234, true);
    info.u16(0x5678);
    const std::string f = sim::encode_reply(0x20, 1, kAc, 0, info);
    EXPECT_EQ(f.substr(13, 10), "07    5678");
    expect_sound_frame(f);
    const auto frames = frames_in(f);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].info, (std::vector<uint8_t>{0x07, 0x20, 0x20, 0x56, 0x78}));

    // Through the simulator: the chosen readings, and only those, go as fill.
    sim::Config c = frozen();
    c.fill = {"ac2.*", "ac.ib"};
    sim::Simulator s(c);
    const auto ac = ask(s, kAc, 0x42, kAll).info;
    const size_t line2 = 3 + 9, outputs = 3 + 2 * 9;
    EXPECT_EQ(be16(ac, 3), 23000); // input 1, phase A
    for (size_t i = 0; i < 8; i += 2)
        EXPECT_EQ(be16(ac, line2 + i), 0x2020);
    EXPECT_EQ(be16(ac, outputs + 2), 0x2020);
    EXPECT_NE(be16(ac, outputs), 0x2020);
}

TEST(Wire, ReplyKeepsTheCommandsVersion) {
    sim::Simulator s;
    const auto reply = sim::joined(s.on_bytes(command(kRc, 0x42, {}, 1, 0x21)));
    EXPECT_EQ(reply.substr(0, 3), "~21");
    EXPECT_EQ(frames_in(reply).at(0).ver, 0x21);
}
