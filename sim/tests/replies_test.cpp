// INFO layouts, decoded by hand the way the driver's decoders walk them, and the command
// handling around them: settings, controls, error returns, other addresses.
#include "protocol/reply_layout.h"
#include "sim/tests/sim_test_util.h"

using namespace simtest;

TEST(Replies, AcDistributionLayouts) {
    sim::Config c = frozen();
    c.layout.inputs = 2;
    sim::Simulator s(c);
    auto &p = s.plant();
    p.ac[0].phase[1].set(290.0); // over-voltage on input 1, phase B
    p.ac[1].hz.set(45.0);
    p.ac[1].breaker = 1;
    p.ac_out = {sim::Reading{4.25}, sim::Reading{4.5}, sim::Reading{70.0}};

    const auto a = ask(s, kAc, 0x42, kAll).info;
    ASSERT_EQ(a.size(), 2u + 1 + 2 * 9 + 6);
    EXPECT_EQ(a[1], 1); // one distribution unit
    EXPECT_EQ(a[2], 2); // input lines
    const uint16_t line1[] = {23000, 29000, 23000, 5000};
    const uint16_t line2[] = {23000, 23000, 23000, 4500};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(be16(a, 3 + 2 * i), line1[i]);
        EXPECT_EQ(be16(a, 12 + 2 * i), line2[i]);
    }
    EXPECT_EQ(a[11], 0); // no user-defined values
    EXPECT_EQ(a[20], 0);
    EXPECT_EQ(be16(a, 21), 425);
    EXPECT_EQ(be16(a, 23), 450);
    EXPECT_EQ(be16(a, 25), 7000);

    const auto st = ask(s, kAc, 0x43, kAll).info;
    EXPECT_EQ(st, (std::vector<uint8_t>{st[0], 1, 2, 0x00, 0x01, 0}));

    // Per line: A B C voltage alarms, frequency alarm, M = 0, Q = 0; then three output alarms.
    const auto al = ask(s, kAc, 0x44, kAll).info;
    EXPECT_EQ(al, (std::vector<uint8_t>{al[0], 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2}));
}

TEST(Replies, RectifierLayouts) {
    sim::Simulator s(frozen());
    auto &p = s.plant();
    p.modules[1].on = false;
    p.modules[2].fault = true;
    p.modules[0].user_status = 0x5A;
    p.modules[0].user_alarms = {1, 2, 3, 4, 5, 6, 7};
    s.changed();
    const double share = (p.base_load + 2 * 2.0) / 1; // one module carries load and charging

    const auto a = ask(s, kRc, 0x42).info;
    ASSERT_EQ(a.size(), 4u + 3 * 3); // what the decoder must consume exactly
    EXPECT_EQ(be16(a, 1), 5360);     // float voltage 53.50 V plus the rectifiers' 0.10 V
    EXPECT_EQ(a[3], 3);
    EXPECT_EQ(be16(a, 4), static_cast<uint16_t>(share * 100));
    EXPECT_EQ(a[6], 0);
    EXPECT_EQ(be16(a, 7), 0);
    EXPECT_EQ(be16(a, 10), 0);

    // Module blocks: on/off, current limit, charge mode, U = 1, the status byte.
    const auto st = ask(s, kRc, 0x43).info;
    EXPECT_EQ(st, (std::vector<uint8_t>{st[0], 3, 0, 0, 0, 1, 0x5A, 1, 0, 0, 1, 0, 0, 0, 0, 1, 0}));
    // Module blocks: fault, U = 7, seven user-defined alarm bytes.
    const auto al = ask(s, kRc, 0x44).info;
    ASSERT_EQ(al.size(), 2u + 3 * 9);
    EXPECT_EQ(al[1], 3);
    EXPECT_EQ(std::vector<uint8_t>(al.begin() + 2, al.begin() + 11),
              (std::vector<uint8_t>{0, 7, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(al[11], 0);
    EXPECT_EQ(al[20], sim::kFault);
    EXPECT_EQ(al[21], 7);
}

TEST(Replies, DcDistributionLayouts) {
    sim::Config c = frozen();
    c.layout.battery_groups = 2;
    c.layout.branches = 3;
    c.layout.user_values = 1;
    sim::Simulator s(c);
    auto &p = s.plant();
    p.dc.voltage.set(53.54);
    p.dc.load.set(10.0);
    p.dc.battery[0].set(100.0);
    p.dc.battery[1].set(3.4);
    p.dc.branch = {sim::Reading{5.0}, sim::Reading{2.5}, sim::Reading{2.5}};
    p.dc.user[0].set(25.0);
    p.dc.fuse_alarms[3] = 1;

    const auto a = ask(s, kDc, 0x42, kAll).info;
    ASSERT_EQ(a.size(), 2u + 7 + 2 * 2 + 2 * 3 + 2 * 1);
    EXPECT_EQ(a[1], 1);
    EXPECT_EQ(be16(a, 2), 5354);
    EXPECT_EQ(be16(a, 4), 1000);
    EXPECT_EQ(a[6], 2);
    EXPECT_EQ(be16(a, 7), 100); // battery currents in whole amperes
    EXPECT_EQ(be16(a, 9), 3);
    EXPECT_EQ(a[11], 3);
    EXPECT_EQ(be16(a, 12), 500);
    EXPECT_EQ(a[18], 1);
    EXPECT_EQ(be16(a, 19), 25); // user-defined values unscaled

    p.dc.voltage.set(44.0);
    const auto al = ask(s, kDc, 0x44, kAll).info;
    // voltage alarm, am = groups + branches, their bytes, ap = 3, its bytes
    EXPECT_EQ(al, (std::vector<uint8_t>{al[0], 1, sim::kLow, 5, 0, 0, 0, 1, 0, 3, 0, 0, 0}));
}

TEST(Replies, EveryReplyHasTheLengthItsLayoutGives) {
    // The layouts the driver holds replies to, against what the power system sends, for plants
    // with and without lists; a byte more or less never fits.
    for (const auto &[inputs, modules, user_values] :
         {std::tuple{1u, 0u, 0u}, std::tuple{3u, 7u, 4u}}) {
        sim::Config c = frozen();
        c.layout.inputs = inputs;
        c.layout.modules = modules;
        c.layout.user_values = user_values;
        sim::Simulator s(c);
        for (const protocol::ReplyLayout &layout : protocol::kReplyLayouts) {
            // The distribution queries name their units, as the driver sends them.
            const bool distribution = layout.group != kRc && layout.command != 0x47;
            auto info =
                ask(s, layout.group, layout.command, distribution ? kAll : std::vector<uint8_t>{})
                    .info;
            const long len = static_cast<long>(info.size());
            EXPECT_TRUE(protocol::fits_layout(layout, info.data(), len))
                << std::hex << int(layout.group) << int(layout.command) << " of " << modules;
            info.push_back(0);
            EXPECT_FALSE(protocol::fits_layout(layout, info.data(), len + 1));
            EXPECT_FALSE(protocol::fits_layout(layout, info.data(), len - 1));
        }
    }
}

TEST(Replies, ParametersCanBeSetAndReadBack) {
    sim::Simulator s(frozen());
    auto params = ask(s, kDc, 0x47).info;
    ASSERT_GE(params.size(), 13u);
    EXPECT_EQ(be16(params, 9), 5350);
    EXPECT_EQ(be16(params, 11), 5640);

    EXPECT_EQ(ask(s, kDc, 0x49, {0x84, 0x15, 0x18}).rtn, 0); // 54.00 V float
    EXPECT_EQ(ask(s, kDc, 0x49, {0x85, 0x16, 0x44}).rtn, 0); // 57.00 V equalise
    const auto set = ask(s, kDc, 0x49, {0x98, 0xFF, 0x6A});
    EXPECT_EQ(set.rtn, 0);
    EXPECT_TRUE(set.info.empty());
    params = ask(s, kDc, 0x47).info;
    EXPECT_EQ(be16(params, 9), 5400);
    EXPECT_EQ(be16(params, 11), 5700);
    EXPECT_EQ(be16(params, 13), 0xFF6A);
    // The bus follows the new float voltage.
    EXPECT_EQ(be16(ask(s, kDc, 0x42, kAll).info, 2), 5400);
    EXPECT_EQ(ask(s, kDc, 0x49, {0x86, 0x00, 0x01}).rtn, 0x06);

    // Values a 48 V plant cannot run with are refused as invalid data and change nothing.
    struct Case {
        std::vector<uint8_t> info;
        uint8_t rtn;
    };
    const Case cases[] = {
        {{0x84, 0xFF, 0xFF}, 0x06}, // 655.35 V float
        {{0x84, 0x10, 0x67}, 0x06}, // 41.99 V
        {{0x84, 0x16, 0xA9}, 0x06}, // 58.01 V
        {{0x85, 0x17, 0x71}, 0x06}, // 60.01 V equalise
        {{0x85, 0x10, 0x67}, 0x06}, // 41.99 V
        {{0x98, 0x00, 0x01}, 0x06}, // +0.01 mV/degC: compensation raises no voltage
        {{0x98, 0xFC, 0x17}, 0x06}, // -10.01
    };
    for (const Case &c : cases) {
        const auto reply = ask(s, kDc, 0x49, c.info);
        EXPECT_EQ(reply.rtn, c.rtn) << std::hex << int(c.info[0]) << " " << int(c.info[1]);
        EXPECT_TRUE(reply.info.empty());
    }
    params = ask(s, kDc, 0x47).info;
    EXPECT_EQ(be16(params, 9), 5400);
    EXPECT_EQ(be16(params, 11), 5700);
    EXPECT_EQ(be16(params, 13), 0xFF6A);
    // The bounds themselves are taken.
    for (const std::vector<uint8_t> &info : {std::vector<uint8_t>{0x84, 0x10, 0x68},
                                             {0x84, 0x16, 0xA8},
                                             {0x85, 0x17, 0x70},
                                             {0x98, 0x00, 0x00},
                                             {0x98, 0xFC, 0x18}})
        EXPECT_EQ(ask(s, kDc, 0x49, info).rtn, 0) << std::hex << int(info[0]) << int(info[1]);
    params = ask(s, kDc, 0x47).info;
    EXPECT_EQ(be16(params, 9), 5800);
    EXPECT_EQ(be16(params, 11), 6000);
    EXPECT_EQ(be16(params, 13), 0xFC18);
}

TEST(Replies, RemoteControlActsOnModulesAndChargeMode) {
    sim::Simulator s(frozen());
    EXPECT_EQ(ask(s, kRc, 0x45, {0x2F, 2}).rtn, 0);
    auto st = ask(s, kRc, 0x43).info;
    EXPECT_EQ(st[2], 0); // module 1 on
    EXPECT_EQ(st[7], 1); // module 2 off
    EXPECT_EQ(be16(ask(s, kRc, 0x42).info, 7), 0);

    EXPECT_EQ(ask(s, kRc, 0x45, {0x2F, 0}).rtn, 0); // all off: batteries carry the load
    EXPECT_EQ(be16(ask(s, kDc, 0x42, kAll).info, 2), 4850);
    EXPECT_EQ(ask(s, kRc, 0x45, {0x20, 0}).rtn, 0);
    EXPECT_EQ(ask(s, kRc, 0x45, {0x1F, 3}).rtn, 0); // equalise is system-wide
    st = ask(s, kRc, 0x43).info;
    for (size_t m = 0; m < 3; ++m) {
        EXPECT_EQ(st[2 + 5 * m], 0);
        EXPECT_EQ(st[4 + 5 * m], static_cast<uint8_t>(sim::ChargeMode::Equalise));
    }
    EXPECT_EQ(be16(ask(s, kDc, 0x42, kAll).info, 2), 5640);
    EXPECT_EQ(ask(s, kRc, 0x45, {0x11, 0}).rtn, 0);
    EXPECT_EQ(ask(s, kRc, 0x43).info[4], static_cast<uint8_t>(sim::ChargeMode::Test));

    EXPECT_EQ(ask(s, kRc, 0x45, {0x20, 4}).rtn, 0x06); // no module 4
    EXPECT_EQ(ask(s, kRc, 0x45, {0x55, 1}).rtn, 0x06);
}

TEST(Replies, ErrorReturnsAndOtherAddresses) {
    sim::Simulator s;
    const struct {
        uint8_t cid1, cid2;
        std::vector<uint8_t> info;
        uint8_t rtn;
    } cases[] = {
        {kAc, 0x45, {}, 0x04},        {0x43, 0x42, kAll, 0x04},  {kDc, 0x43, kAll, 0x04},
        {kRc, 0x42, {0xFF}, 0x05},    {kAc, 0x42, {}, 0x05},     {kDc, 0x44, {0xFF, 0}, 0x05},
        {kDc, 0x49, {0x84, 1}, 0x05}, {kRc, 0x45, {0x20}, 0x05}, {kDc, 0x47, {0}, 0x05},
        {kAc, 0x42, {0x02}, 0x06},
    };
    for (const auto &c : cases) {
        const auto r = ask(s, c.cid1, c.cid2, c.info);
        EXPECT_EQ(r.rtn, c.rtn) << std::hex << int(c.cid1) << "/" << int(c.cid2);
        EXPECT_TRUE(r.info.empty());
        EXPECT_EQ(r.cid1, c.cid1);
    }
    EXPECT_TRUE(s.on_bytes(command(kRc, 0x42, {}, 2)).empty());
    EXPECT_TRUE(s.on_bytes(command(kDc, 0x47, {}, 0xFE)).empty());
    EXPECT_EQ(s.round(), 0u);

    // A command with a bad checksum is answered with RTN 2, a bad LCHKSUM with RTN 3.
    std::string bad = command(kRc, 0x42);
    bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
    EXPECT_EQ(frames_in(sim::joined(s.on_bytes(bad))).at(0).rtn, 0x02);
    EXPECT_EQ(frames_in(sim::joined(s.on_bytes(std::string("~200141421000FDB1\r")))).at(0).rtn,
              0x03);
}

TEST(Replies, CommandsMayArriveInPieces) {
    sim::Simulator s;
    const std::string cmd = "xx" + command(kDc, 0x47) + command(kRc, 0x42);
    std::string out;
    for (char c : cmd)
        out += sim::joined(s.on_bytes(std::string(1, c)));
    const auto frames = frames_in(out);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].cid1, kDc);
    EXPECT_EQ(frames[1].cid1, kRc);
    EXPECT_EQ(s.round(), 1u);
}
