// Field traces as fixtures: each capture of tests/traces/ (recorded by scripts/make-traces from
// the reference host polling the simulator) is answered by the replay, in this process, to a
// fresh driver; the blocks it publishes must be the ones the recorded run published, but for
// their time records. Runs in every build, the target's under user-mode emulation included.
#include "capture/format.h"
#include "mpx23/mpx23.h"
#include "mpx23/telemetry.h"
#include "sim/loopback.h"
#include "sim/replay.h"
#include "tests/recording_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

// The block as hex with its three time records (rectifier, AC, DC) as "..": the replay runs
// at another time than the recording. A block too short for its channel counts is left whole,
// so it fails the comparison.
std::string masked(std::string block_hex) {
    const auto byte_at = [&](size_t i) {
        return i * 2 + 2 <= block_hex.size()
                   ? static_cast<size_t>(std::stoul(block_hex.substr(i * 2, 2), nullptr, 16))
                   : 0;
    };
    const auto mask = [&](size_t at) {
        if ((at + kTimeRecordSize) * 2 <= block_hex.size())
            block_hex.replace(at * 2, kTimeRecordSize * 2, kTimeRecordSize * 2, '.');
    };
    const size_t ac =
        sizeof(rcData) + byte_at(offsetof(rcData, channel_count)) * sizeof(mpx23_rc_channel);
    const size_t dc = ac + sizeof(acData) +
                      byte_at(ac + offsetof(acData, channel_count)) * sizeof(mpx23_ac_channel);
    mask(offsetof(rcData, time));
    mask(ac + offsetof(acData, time));
    mask(dc + offsetof(dcData, time));
    return block_hex;
}

std::vector<std::string> lines_of(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

struct Replayed {
    std::vector<std::string> blocks;
    std::vector<std::string> unanswered;
    size_t exchanges = 0;
};

// Rounds as the host runs them: RefreshStatus, then the line until it is quiet; a round whose
// replies stop short is followed by the next one. Ends when every recorded exchange is played.
Replayed replay_into_driver(const std::string &capture_path) {
    const auto file = capture::read_capture(capture_path);
    sim::Replay replay(file.records);
    testing_host::RecordingHost rec;
    sim::Loopback link(replay, &rec);
    MPX23 dev;
    // The data identifier goes into the block: the one the recorded device had.
    for (const auto &r : file.records)
        if (r.device != "-") {
            dev.data_id = static_cast<uint32_t>(std::stoul(r.device));
            break;
        }
    for (unsigned round = 0; round < 200 && replay.remaining() > 0; ++round) {
        dev.RefreshStatus();
        link.pump(dev);
    }
    Replayed out;
    for (const auto &call : rec.calls)
        if (call.name == "SendSP")
            out.blocks.push_back(masked(hex(call.bytes)));
    out.unanswered = replay.unanswered();
    out.exchanges = replay.exchanges();
    return out;
}

class TraceTest : public ::testing::TestWithParam<const char *> {};

TEST_P(TraceTest, ReplayPublishesTheRecordedBlocks) {
    const std::string base = std::string(MPX23_TRACES_DIR) + "/" + GetParam();
    std::vector<std::string> expected;
    for (const auto &block : lines_of(base + ".blocks"))
        expected.push_back(masked(block));
    ASSERT_FALSE(expected.empty()) << base << ".blocks";

    ::testing::internal::CaptureStdout(); // the driver's diagnostics
    const Replayed got = replay_into_driver(base + ".cap");
    ::testing::internal::GetCapturedStdout();

    EXPECT_GT(got.exchanges, expected.size());
    EXPECT_TRUE(got.unanswered.empty()) << got.unanswered.front();
    ASSERT_EQ(got.blocks.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(got.blocks[i], expected[i]) << "block " << i;
}

INSTANTIATE_TEST_SUITE_P(Traces, TraceTest,
                         ::testing::Values("normal_start", "mains_failure", "module_removed",
                                           "noisy_line"));

// The masking must leave everything but the time records to compare.
TEST(TraceMask, HidesOnlyTheTimeRecords) {
    const std::string block =
        lines_of(std::string(MPX23_TRACES_DIR) + "/normal_start.blocks").at(0);
    const std::string m = masked(block);
    ASSERT_EQ(m.size(), block.size());
    size_t hidden = 0;
    for (size_t i = 0; i < m.size(); ++i)
        if (m[i] != block[i])
            ++hidden;
    EXPECT_LE(hidden, 3 * kTimeRecordSize * 2);
    EXPECT_EQ(std::count(m.begin(), m.end(), '.'), static_cast<long>(3 * kTimeRecordSize * 2));
}

} // namespace
