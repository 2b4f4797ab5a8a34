// The end of a replay: told once, then silence; or, looping, a new pass with its notices rated.
#include "sim/replay.h"
#include "sim/tests/sim_test_util.h"

#include <sstream>

using namespace simtest;

namespace {

using Direction = capture::CaptureRecord::Direction;
const std::string kA = command(kAc, 0x42), kB = command(kDc, 0x44);

// A, B, A, each answered with its own reply text.
std::vector<capture::CaptureRecord> three_exchanges() {
    std::vector<capture::CaptureRecord> records;
    uint64_t t = 1000;
    for (const auto &[sent, received] :
         {std::pair<std::string, std::string>{kA, "a1"}, {kB, "b1"}, {kA, "a2"}}) {
        records.push_back({t += 1000, Direction::Sent, "/dev/ttyS1", "1", sent});
        records.push_back({t += 1000, Direction::Received, "/dev/ttyS1", "1", received});
    }
    return records;
}

// The replies to `commands`, sent one after the other.
std::string play(sim::Replay &replay, std::initializer_list<std::string> commands) {
    std::string replies;
    for (const auto &bytes : commands) {
        const std::vector<uint8_t> data(bytes.begin(), bytes.end());
        replies += sim::joined(replay.on_bytes(data.data(), data.size()));
    }
    return replies;
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(Replay, TheEndIsToldOnceAndThenNothingIsAnswered) {
    std::ostringstream log;
    sim::Replay replay(three_exchanges());
    replay.set_log(&log);
    EXPECT_EQ(play(replay, {kA, kB, kA}), "a1b1a2");
    EXPECT_EQ(log.str(), "replay: end of capture: 3 of 3 exchanges played, 0 commands without a "
                         "recorded reply; answering nothing more\n");
    EXPECT_EQ(play(replay, {kB, command(kRc, 0x41)}), "");
    EXPECT_EQ(occurrences(log.str(), "replay:"), 1u) << log.str();
    EXPECT_TRUE(replay.ended());
    EXPECT_EQ(replay.after_end(), 2u);
    EXPECT_EQ(replay.remaining(), 0u);

    // A command asked for more often than recorded ends the capture too, unanswered.
    sim::Replay short_of_b(three_exchanges());
    short_of_b.set_log(&log);
    EXPECT_EQ(play(short_of_b, {kB, kB, kA}), "b1");
    EXPECT_NE(log.str().find("end of capture: 1 of 3 exchanges played"), std::string::npos);
    EXPECT_EQ(short_of_b.after_end(), 2u);
}

TEST(Replay, LoopingStartsOverAndRatesItsNotices) {
    std::ostringstream log;
    sim::Replay replay(three_exchanges());
    replay.set_log(&log);
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    replay.set_loop(true, [&now] { return now; });
    const auto pass = [&] { return play(replay, {kA, kB, kA}); };
    EXPECT_EQ(pass(), "a1b1a2");
    EXPECT_EQ(log.str(), "replay: end of capture, pass 1: 3 of 3 exchanges played, 0 commands "
                         "without a recorded reply; starting over\n");
    now += std::chrono::seconds(30);
    EXPECT_EQ(pass(), "a1b1a2");
    EXPECT_EQ(occurrences(log.str(), "end of capture"), 1u);
    now += std::chrono::seconds(31);
    // Past the recorded Bs: the capture starts over at once and answers from the first pass.
    EXPECT_EQ(play(replay, {kB, kB}), "b1b1");
    EXPECT_NE(log.str().find("pass 3: 1 of 3 exchanges played, 0 commands without a recorded "
                             "reply (1 passes ended since the last notice); starting over\n"),
              std::string::npos)
        << log.str();
    EXPECT_EQ(replay.passes(), 3u);
    EXPECT_FALSE(replay.ended());
}

} // namespace
