// The capture library: its format, its file writer (rotation, records that survive a kill, one
// message when recording stops, which the host's writer sends to its log) and the transcript of
// `capture show`.
#include "capture/format.h"
#include "capture/transcript.h"
#include "capture/writer.h"
#include "host/common/log.h"
#include "hostlib/frame_codec.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using capture::CaptureRecord;
using Direction = capture::CaptureRecord::Direction;

CaptureRecord record(uint64_t t, Direction d, const std::string &bytes,
                     const std::string &device = "1001", const std::string &port = "/dev/ttyS1") {
    CaptureRecord r;
    r.time_us = t;
    r.direction = d;
    r.port = port;
    r.device = device;
    r.bytes = bytes;
    return r;
}

std::string file_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct TempDir {
    TempDir() {
        char pattern[] = "/tmp/capture_test.XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

bool has_line(const std::vector<std::string> &lines, const std::string &part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &l) { return l.find(part) != std::string::npos; });
}

TEST(CaptureFormat, EveryByteAndOddPortNamesSurviveTheTextForm) {
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    const auto original = record(123456789012ull, Direction::Received, all, "-", "tcp:a b%:4001");
    const std::string line = capture::format_record(original);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
    EXPECT_EQ(std::count(line.begin(), line.end(), ' '), 4); // blanks only between fields

    CaptureRecord back;
    ASSERT_TRUE(capture::parse_record(line.substr(0, line.size() - 1), back));
    EXPECT_EQ(back.time_us, original.time_us);
    EXPECT_EQ(back.direction, Direction::Received);
    EXPECT_EQ(back.port, original.port);
    EXPECT_EQ(back.device, "-");
    EXPECT_EQ(back.bytes, all);

    // A frame stays readable as it went on the wire.
    EXPECT_EQ(capture::format_record(record(5, Direction::Sent, "~200142470000FDAC\r")),
              "5 > /dev/ttyS1 1001 ~200142470000FDAC%0D\n");

    for (const char *bad : {"", "x > p 1 41", "5 ? p 1 41", "5 > p 1", "5 > p 1 4%1", "5 > p 1 %4",
                            "5 > p 1 a b", "5 >  1 41", "-5 > p 1 41"}) {
        CaptureRecord r;
        EXPECT_FALSE(capture::parse_record(bad, r)) << bad;
    }
}

TEST(CaptureFormat, AFileCutAnywhereKeepsEveryCompleteRecord) {
    std::string text = std::string(capture::kCaptureHeader) + "\n";
    std::vector<size_t> ends; // where each record's line ends
    for (uint64_t i = 0; i < 4; ++i) {
        text += capture::format_record(
            record(1000 + i, i % 2 ? Direction::Received : Direction::Sent, "~2001%\r"));
        ends.push_back(text.size());
    }
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        const auto file = capture::parse_capture(text.substr(0, cut));
        const auto complete = static_cast<size_t>(
            std::count_if(ends.begin(), ends.end(), [&](size_t e) { return e <= cut; }));
        ASSERT_EQ(file.records.size(), complete) << "cut at " << cut;
        EXPECT_TRUE(file.bad_lines.empty()) << "cut at " << cut;
        const bool at_line_end = cut == 0 || text[cut - 1] == '\n';
        EXPECT_EQ(file.cut, !at_line_end) << "cut at " << cut;
        for (size_t i = 0; i < complete; ++i)
            EXPECT_EQ(file.records[i].time_us, 1000 + i);
    }
    // A damaged line in the middle is skipped and named; the records around it stay.
    const auto file =
        capture::parse_capture(text.substr(0, ends[0]) + "garbage line\n" + text.substr(ends[0]));
    EXPECT_EQ(file.records.size(), 4u);
    EXPECT_EQ(file.bad_lines, std::vector<unsigned>{3});
}

// The writer's messages go to the host's log, as the program passes them.
capture::CaptureWriter::Tell told_to(host::Log &log) {
    return [&log](const std::string &text) { log.error(text); };
}

TEST(CaptureWriter, AppendsWholeRecordsAndRotatesAtTheLimit) {
    TempDir dir;
    const std::string path = dir.path + "/line.cap";
    std::FILE *errors = std::tmpfile();
    host::Log log(errors);
    const std::string frame = "~20014100501A0014B40303E80004B000000000F86D\r";
    const size_t line_size =
        capture::format_record(record(1234567890, Direction::Received, frame)).size();
    constexpr uint64_t kMax = 4096;
    {
        capture::CaptureWriter writer(path, kMax, told_to(log));
        writer.record(Direction::Sent, "/dev/ttyS1", "1001",
                      reinterpret_cast<const unsigned char *>(frame.data()), frame.size());
        // Readable at once, before the writer is gone: nothing waits in a buffer.
        const auto early = capture::read_capture(path);
        ASSERT_EQ(early.records.size(), 1u);
        EXPECT_EQ(early.records[0].bytes, frame);
        EXPECT_FALSE(early.cut);
        for (int i = 0; i < 200; ++i)
            writer.record(record(1234567890, Direction::Received, frame));
    }
    const auto now = capture::read_capture(path);
    const auto older = capture::read_capture(path + ".1");
    for (const std::string &p : {path, path + ".1"}) {
        const std::string text = file_text(p);
        EXPECT_LE(text.size(), kMax) << p;
        // Each file starts with its header.
        EXPECT_EQ(text.rfind(capture::kCaptureHeader, 0), 0u) << p;
    }
    EXPECT_FALSE(now.cut);
    EXPECT_FALSE(older.cut);
    EXPECT_TRUE(now.bad_lines.empty() && older.bad_lines.empty());
    EXPECT_GT(now.records.size(), 0u);
    // Older records than these two files hold were dropped, whole.
    const size_t per_file = (kMax - std::string(capture::kCaptureHeader).size() - 1) / line_size;
    EXPECT_EQ(older.records.size(), per_file);
    EXPECT_EQ((201 - now.records.size()) % per_file, 0u);

    // A second run appends to the same file instead of starting over.
    const size_t before = now.records.size();
    {
        capture::CaptureWriter writer(path, kMax, told_to(log));
        writer.record(record(1, Direction::Sent, "~\r"));
    }
    const auto after = capture::read_capture(path);
    EXPECT_TRUE(after.records.size() == before + 1 || after.records.size() == 1u);
    std::fclose(errors);
}

// A file-size limit (SIGXFSZ ignored, as the host does) fails the writes like a full disk: told
// once while it holds, though records of other sizes still fit beside it now and then; the file
// keeps only whole records; once the limit is lifted and writes have gone through for the calm
// time, the end is told with the count lost.
TEST(CaptureWriter, AFailedWriteIsToldOnceAndRecordingResumes) {
    const std::string path = testing::TempDir() + "/limited.capture";
    std::remove(path.c_str());
    std::FILE *errors = std::tmpfile();
    host::Log log(errors);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    auto t = TroubleEpisode::Clock::time_point{};
    unsigned long failed = 0;
    {
        capture::CaptureWriter writer(path, 1u << 20, told_to(log), [&t] { return t; });
        writer.record(record(1, Direction::Sent, std::string(100, '~')));
        rlimit small = old_limit;
        small.rlim_cur = 600; // room for the header and a few records
        setrlimit(RLIMIT_FSIZE, &small);
        for (int i = 0; i < 40; ++i) {
            t += std::chrono::seconds(1);
            const size_t before = capture::read_capture(path).records.size();
            writer.record(record(2, Direction::Sent, std::string(i % 2 ? 120 : 4, '~')));
            failed += capture::read_capture(path).records.size() == before;
        }
        setrlimit(RLIMIT_FSIZE, &old_limit);
        writer.record(record(3, Direction::Received, "~")); // within the calm time: not told
        t += TroubleEpisode::kCalm;
        writer.record(record(4, Direction::Received, "~"));
    }
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    std::fflush(errors);
    std::rewind(errors);
    std::string told;
    for (int c; (c = std::fgetc(errors)) != EOF;)
        told += static_cast<char>(c);
    std::fclose(errors);
    ASSERT_GT(failed, 0u);
    EXPECT_LT(failed, 40u); // some records did fit beside the limit
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 2) << told;
    EXPECT_NE(told.find(": File too large; recording waits until it can write again\n"),
              std::string::npos)
        << told;
    EXPECT_NE(told.find("recording again (" + std::to_string(failed) + " records not recorded)"),
              std::string::npos)
        << told;
    const auto read = capture::read_capture(path);
    EXPECT_EQ(read.bad_lines.size(), 0u);
    EXPECT_EQ(read.records.back().time_us, 4u);
    std::remove(path.c_str());
}

TEST(CaptureShow, NamesEachFrameAndEachFramingFault) {
    const std::string command = "~200141420000FDB2\r";
    const std::string good = "~20014100501A0014B40303E80004B000000000F86D\r";
    std::string bad_checksum = good;
    bad_checksum[bad_checksum.size() - 2] = 'E';
    const std::string error_reply = frame::encode(0x20, 0x01, 0x41, 0x06, nullptr, 0);

    capture::CaptureFile file;
    file.records = {
        record(1000000, Direction::Sent, command),
        record(1001000, Direction::Received, command), // the adapter's echo
        record(1002000, Direction::Received, "\x01\xFFjunk" + good.substr(0, 10)),
        record(1003000, Direction::Received, good.substr(10)),
        record(1004000, Direction::Sent, command),
        record(1005000, Direction::Received, bad_checksum),
        record(1006000, Direction::Received, good.substr(0, 20) + good), // cut by a new frame
        record(1007000, Direction::Received, error_reply),
        record(1008000, Direction::Received, "~2001410", "-"), // never finished
    };
    file.cut = true;
    const auto lines = capture::capture_transcript(file);

    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(lines[0], "  0.000000 /dev/ttyS1 1001 ctl> ~200141420000FDB2\\r  rectifier modules, "
                        "analogue values, INFO 0 bytes, ADR 0x01, VER 0x20");
    EXPECT_TRUE(has_line(lines, "dev> ~200141420000FDB2\\r  echo of the command"));
    EXPECT_TRUE(has_line(lines, "dev> \\x01\\xFFjunk  bytes outside any frame"));
    EXPECT_TRUE(has_line(lines, "  0.003000 /dev/ttyS1 1001 dev> " +
                                    good.substr(0, good.size() - 1) +
                                    "\\r  rectifier modules, RTN 0x00 normal, INFO 13 bytes"));
    EXPECT_TRUE(has_line(lines, "F86E\\r  framing fault: bad CHKSUM"));
    EXPECT_TRUE(has_line(lines, "dev> " + good.substr(0, 20) + "  framing fault: cut off"));
    EXPECT_TRUE(has_line(lines, "RTN 0x06 invalid data, INFO 0 bytes"));
    EXPECT_TRUE(has_line(lines, "/dev/ttyS1 - dev> ~2001410  unfinished frame at the end"));
    EXPECT_EQ(lines.back(), "capture: 9 records, the file ends inside a record (dropped)");
}

} // namespace
