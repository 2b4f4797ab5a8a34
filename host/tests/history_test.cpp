#include "host/stores/history.h"
#include "host/stores/outbox.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct HistoryTest : ::testing::Test {
    void SetUp() override {
        char name[] = "/tmp/host-history-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        path = dir + "/h.db";
    }
    void TearDown() override {
        for (const char *suffix : {"", "-wal", "-shm"})
            unlink((path + suffix).c_str());
        rmdir(dir.c_str());
    }
    static void store(host::History &h, uint32_t data_id, unsigned char first) {
        const unsigned char bytes[3] = {first, 0x00, 0xFF}; // a zero byte inside: stored whole
        h.store_block(data_id, "2024-05-17 09:08:07", bytes, sizeof bytes);
    }
    std::string dir, path;
};

TEST_F(HistoryTest, KeepsTheNewestBlocksOfEachDeviceAndHandsBackTheLast) {
    {
        host::History h(path, 3);
        EXPECT_FALSE(h.newest_block(1));
        for (unsigned char i = 1; i <= 5; ++i)
            store(h, 1, i);
        store(h, 2, 0x77);
    }
    host::History h(path, 3); // what was stored survives a restart
    std::vector<std::pair<uint32_t, int>> seen;
    h.for_each_block([&](const host::StoredBlock &b) {
        ASSERT_EQ(b.bytes.size(), 3u);
        seen.emplace_back(b.data_id, static_cast<unsigned char>(b.bytes[0]));
    });
    const std::vector<std::pair<uint32_t, int>> expected = {{1, 3}, {1, 4}, {1, 5}, {2, 0x77}};
    EXPECT_EQ(seen, expected);

    const auto newest = h.newest_block(1);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->bytes, std::string("\x05\x00\xFF", 3));
    EXPECT_EQ(newest->time, "2024-05-17 09:08:07");
    EXPECT_EQ(h.newest_block(2)->bytes[0], '\x77');
    EXPECT_FALSE(h.newest_block(3));
}

TEST_F(HistoryTest, StoresAlarmTransitions) {
    host::History h(path, 10);
    h.store_alarm({0, 1, "2024-05-17 09:08:07", "220600140010", true, "停电", "ua1:0"});
    h.store_alarm({0, 1, "2024-05-17 09:09:07", "220600140010", false, "停电", "ua1:230"});
    std::vector<host::AlarmRecord> seen;
    h.for_each_alarm([&](const host::AlarmRecord &a) { seen.push_back(a); });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].raised);
    EXPECT_FALSE(seen[1].raised);
    EXPECT_EQ(seen[1].text, "停电");
    EXPECT_EQ(seen[1].detail, "ua1:230");
    EXPECT_LT(seen[0].row, seen[1].row);
}

// Events wait for the broker across a restart, leave only when delivered, and past the bound
// the oldest go with their count carried by the oldest kept, whose own count adds up.
TEST_F(HistoryTest, TheEventBacklogSurvivesARestartAndCountsWhatOverflowDropped) {
    {
        host::Outbox h(path);
        for (int i = 1; i <= 3; ++i)
            EXPECT_EQ(h.queue_event("t/1/events", "e" + std::to_string(i), 5), 0u);
    }
    host::Outbox h(path);
    auto events = h.queued_events(0, 10);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].payload, "e1");
    EXPECT_EQ(events[2].topic, "t/1/events");
    EXPECT_LT(events[0].seq, events[1].seq);
    // After a sequence number, in order, at most as many as asked.
    const auto after_first = h.queued_events(events[0].seq, 1);
    ASSERT_EQ(after_first.size(), 1u);
    EXPECT_EQ(after_first[0].payload, "e2");

    h.event_delivered(events[0].seq);
    EXPECT_EQ(h.queued_events(0, 10).size(), 2u);
    // e2 e3 e4 e5 e6: full at 5; e7 drops e2, e8 drops e3 (e4 then carries 2).
    for (int i = 4; i <= 6; ++i)
        EXPECT_EQ(h.queue_event("t/1/events", "e" + std::to_string(i), 5), 0u);
    EXPECT_EQ(h.queue_event("t/1/events", "e7", 5), 1u);
    EXPECT_EQ(h.queue_event("t/1/events", "e8", 5), 1u);
    events = h.queued_events(0, 10);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].payload, "e4");
    EXPECT_EQ(events[0].dropped_before, 2);
    EXPECT_EQ(events[1].dropped_before, 0);
    // A smaller bound drops e4 and e5; e6 then stands for them and the two e4 stood for.
    EXPECT_EQ(h.queue_event("t/1/events", "e9", 4), 2u);
    events = h.queued_events(0, 10);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].payload, "e6");
    EXPECT_EQ(events[0].dropped_before, 4);
}

// The archive and the outbox keep their tables in one file, on one connection that either may
// leave first; what both stored is there when the file is opened again.
TEST_F(HistoryTest, TheArchiveAndTheOutboxShareOneFile) {
    {
        auto archive = std::make_unique<host::History>(path, 10);
        host::Outbox outbox(archive->database());
        store(*archive, 1, 0x11);
        archive.reset();
        EXPECT_EQ(outbox.queue_event("t/1/events", "e1", 5), 0u);
    }
    host::History archive(path, 10);
    ASSERT_TRUE(archive.newest_block(1));
    EXPECT_EQ(archive.newest_block(1)->bytes[0], '\x11');
    const auto events = host::Outbox(archive.database()).queued_events(0, 10);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].payload, "e1");
}

TEST_F(HistoryTest, RequestsAreKeptWithSourceAndOutcome) {
    host::History h(path, 2);
    for (int i = 1; i <= 3; ++i)
        h.store_request({0, 7, "2026-12-08 10:00:0" + std::to_string(i), "mqtt", "control",
                         "r" + std::to_string(i), "419500200002", "refused", "busy line"});
    h.store_request({0, 8, "2026-12-08 10:00:09", "command line", "set", "",
                     R"({"SetValue":53.5,"signal_id":"4196A3201001"})", "answered", ""});
    std::vector<host::RequestRecord> seen;
    h.for_each_request([&](const host::RequestRecord &r) { seen.push_back(r); });
    ASSERT_EQ(seen.size(), 3u); // the newest 2 of device 7, and device 8's
    EXPECT_EQ(seen[0].request_id, "r2");
    EXPECT_EQ(seen[0].reason, "busy line");
    EXPECT_EQ(seen[2].source, "command line");
    EXPECT_EQ(seen[2].kind, "set");
    EXPECT_EQ(seen[2].outcome, "answered");
}

// The requests that reached their device stay whatever flood of refused ones follows them, and
// a stored text comes back whole, a NUL in it included.
TEST_F(HistoryTest, RefusedRequestsCannotPushTheActedOnesOut) {
    host::History h(path, 5);
    const std::string with_nul("4195\0"
                               "0200002",
                               12);
    auto request = [&](const std::string &id, bool reached) {
        host::RequestRecord r;
        r.data_id = 7;
        r.time = "2026-12-08 10:00:00";
        r.source = "mqtt";
        r.kind = "control";
        r.request_id = id;
        r.request = with_nul;
        r.outcome = reached ? "answered" : "refused";
        r.reached = reached;
        return r;
    };
    for (int i = 0; i < 3; ++i)
        h.store_request(request("acted" + std::to_string(i), true));
    for (int i = 0; i < 20; ++i)
        h.store_request(request("junk", false));
    size_t acted = 0, junk = 0;
    h.for_each_request([&](const host::RequestRecord &r) {
        acted += r.request_id.rfind("acted", 0) == 0;
        junk += r.request_id == "junk";
        EXPECT_EQ(r.request.size(), 12u);
    });
    EXPECT_EQ(acted, 3u);
    EXPECT_EQ(junk, 5u); // a retention below the refused ones' own bound holds them too
}

// Every listing selects by device, by a span of stored times (the start included, the end not)
// and the newest N of what passes, still oldest first.
TEST_F(HistoryTest, ListingsSelectByDeviceTimeAndTheNewest) {
    host::History h(path, 100);
    for (unsigned char i = 0; i < 6; ++i) {
        const std::string time = "2026-12-08 10:00:0" + std::to_string(i);
        h.store_block(1 + i % 2, time, &i, 1); // devices 1 and 2 take turns
        h.store_alarm({0, 1u + i % 2, time, "220600140010", true, "t", "d"});
        h.store_request(
            {0, 1u + i % 2, time, "mqtt", "control", "", "419500200002", "answered", ""});
    }
    host::HistoryFilter which;
    const auto blocks = [&] {
        std::vector<int> seen;
        h.for_each_block(which, [&](const host::StoredBlock &b) { seen.push_back(b.bytes[0]); });
        return seen;
    };
    which.data_id = 2;
    EXPECT_EQ(blocks(), (std::vector<int>{1, 3, 5}));
    which.since = "2026-12-08 10:00:03";
    EXPECT_EQ(blocks(), (std::vector<int>{3, 5}));
    which.data_id.reset();
    which.until = "2026-12-08 10:00:05";
    EXPECT_EQ(blocks(), (std::vector<int>{3, 4}));
    which = {};
    which.last = 4;
    EXPECT_EQ(blocks(), (std::vector<int>{2, 3, 4, 5}));
    which.data_id = 1;
    which.until = "2026-12-08 10:00:04";
    EXPECT_EQ(blocks(), (std::vector<int>{0, 2}));

    which.last = 2;
    std::vector<std::string> times;
    h.for_each_alarm(which, [&](const host::AlarmRecord &a) { times.push_back(a.time); });
    h.for_each_request(which, [&](const host::RequestRecord &r) { times.push_back(r.time); });
    EXPECT_EQ(times, (std::vector<std::string>{"2026-12-08 10:00:00", "2026-12-08 10:00:02",
                                               "2026-12-08 10:00:00", "2026-12-08 10:00:02"}));
}

// The write-ahead log stays small however many blocks go in (MPX23_WAL_BLOCKS sets how many;
// the figures are printed for the record).
TEST_F(HistoryTest, TheWriteAheadLogStaysBounded) {
    const char *wanted = std::getenv("MPX23_WAL_BLOCKS");
    const unsigned blocks = wanted ? static_cast<unsigned>(std::atoi(wanted)) : 2000;
    const std::vector<unsigned char> block(400, 0x5A); // a device data block of three modules
    off_t largest_wal = 0;
    {
        host::History h(path, 10000);
        for (unsigned i = 0; i < blocks; ++i) {
            h.store_block(1, "2024-05-17 09:08:07", block.data(), block.size());
            struct stat wal {};
            if (stat((path + "-wal").c_str(), &wal) == 0)
                largest_wal = std::max(largest_wal, wal.st_size);
        }
    }
    struct stat db {};
    ASSERT_EQ(stat(path.c_str(), &db), 0);
    std::printf("%u blocks: database %lld bytes, write-ahead log at most %lld bytes\n", blocks,
                static_cast<long long>(db.st_size), static_cast<long long>(largest_wal));
    EXPECT_GT(largest_wal, 0);
    EXPECT_LE(largest_wal, host::kWalSizeLimit);
}

TEST_F(HistoryTest, UnusableFileIsReported) {
    EXPECT_THROW(host::History(dir + "/missing/h.db", 10), host::HistoryError);
    {
        FILE *f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("not a database, but long enough to look like a header.......", f);
        std::fclose(f);
    }
    EXPECT_THROW(host::History(path, 10), host::HistoryDamaged);
    EXPECT_THROW(host::Outbox{path}, host::HistoryDamaged);
}

} // namespace
