// The command line of mpx23-sim: options and event shorthands, what it refuses, its usage text.
#include "sim/command_line.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

TEST(CommandLine, SetsEveryOptionAndRefusesNonsense) {
    const auto cl = sim::parse_command_line({"--listen",
                                             "0",
                                             "--address",
                                             "7",
                                             "--seed",
                                             "3",
                                             "--modules",
                                             "5",
                                             "--mains-fail-at",
                                             "4",
                                             "--event",
                                             "6:dc_sag:volts=45",
                                             "--no-value",
                                             "rc*.i,dc.v",
                                             "--fault",
                                             "split:pieces=2",
                                             "--pace",
                                             "--baud",
                                             "1200",
                                             "--rounds",
                                             "9",
                                             "--log"});
    EXPECT_EQ(cl.transport, sim::CommandLine::Transport::Tcp);
    EXPECT_EQ(cl.sim.address, 7);
    EXPECT_EQ(cl.sim.seed, 3u);
    EXPECT_EQ(cl.sim.layout.modules, 5u);
    EXPECT_EQ(cl.sim.scenario.at_round(4).at(0).name, "mains_fail");
    EXPECT_EQ(cl.sim.scenario.at_round(6).at(0).name, "dc_sag");
    EXPECT_EQ(cl.sim.fill, (std::vector<std::string>{"rc*.i", "dc.v"}));
    EXPECT_EQ(cl.sim.faults.size(), 2u);
    EXPECT_EQ(cl.sim.baud, 1200u);
    EXPECT_EQ(cl.sim.max_rounds, 9u);
    EXPECT_TRUE(cl.log);

    for (const std::vector<std::string> &bad : {std::vector<std::string>{"--address"},
                                                {"--address", "0"},
                                                {"--frobnicate"},
                                                {"--no-value", "ac3.ua"},
                                                {"--no-value", "rc4.i"},
                                                {"--fault", "nope"},
                                                {"--mains-fail-at", "soon"},
                                                {"--replay-loop"}})
        EXPECT_THROW(sim::parse_command_line(bad), std::invalid_argument) << bad[0];
    EXPECT_NE(sim::usage().find("--mains-fail-at"), std::string::npos);
    EXPECT_TRUE(sim::parse_command_line({"--replay", "x.cap", "--replay-loop"}).replay_loop);
    EXPECT_TRUE(sim::parse_command_line({"-h"}).help);
    EXPECT_TRUE(sim::parse_command_line({"--version"}).version);
}
