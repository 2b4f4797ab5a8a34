#include "host/stores/history.h"
#include "host/stores/outbox.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
        for (const char *suffix : {"", "-wal", "-shm", "-journal"})
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

size_t count_blocks(host::History &h, const host::HistoryFilter &which = {}) {
    size_t n = 0;
    h.for_each_block(which, [&](const host::StoredBlock &) { ++n; });
    return n;
}

// Blocks wait for their commit, read meanwhile by the host's own connection only; alarms take
// them along at once, and closing the history loses none.
TEST_F(HistoryTest, BlocksReachTheFileInBatches) {
    auto h = std::make_unique<host::History>(path, 100);
    h->set_commit_interval(std::chrono::hours(1));
    for (unsigned char i = 0; i < 3; ++i)
        store(*h, 1, i);
    const auto in_the_file = [this] {
        host::History reader = host::History::for_reading(path);
        return count_blocks(reader);
    };
    EXPECT_EQ(count_blocks(*h), 3u);
    EXPECT_EQ(in_the_file(), 0u);
    h->store_alarm({0, 1, "2024-05-17 09:08:07", "220600140010", true, "t", "d"});
    store(*h, 1, 3);
    EXPECT_EQ(in_the_file(), 3u);
    h.reset();
    EXPECT_EQ(in_the_file(), 4u);
}

// A selection by time reads only the spans it meets and is exact across a clock set back; a
// time no row has finds nothing. Read in pages, a pinned selection leaves out what came after.
TEST_F(HistoryTest, TimeSelectionsAndPagesAreExact) {
    host::History h(path, 1000);
    h.set_commit_interval(std::chrono::seconds(0));
    const auto time_of = [](unsigned minute) {
        char text[32];
        std::snprintf(text, sizeof text, "2026-12-08 %02u:%02u:00", 10 + minute / 60, minute % 60);
        return std::string(text);
    };
    const unsigned char byte = 0;
    for (unsigned i = 0; i < 200; ++i) // the clock goes back an hour after the 150th
        h.store_block(1, time_of(i < 150 ? i : i - 60), &byte, 1);
    host::HistoryFilter which;
    which.since = time_of(100);
    which.until = time_of(110);
    EXPECT_EQ(count_blocks(h, which), 20u); // 100..109, and 160..169 after the step
    which.since = time_of(500);
    which.until.clear();
    EXPECT_EQ(count_blocks(h, which), 0u);

    which = {};
    which.last = 150;
    const host::HistoryFilter pinned = h.pinned_blocks(which);
    h.store_block(1, time_of(300), &byte, 1);
    std::vector<int64_t> rows;
    host::HistoryFilter page = pinned;
    for (auto got = h.block_page(page, 64); !got.empty(); got = h.block_page(page, 64)) {
        for (const auto &b : got)
            rows.push_back(b.row);
        page.after_row = rows.back();
    }
    ASSERT_EQ(rows.size(), 150u);
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end()));
    EXPECT_EQ(rows.back(), h.newest_block(1)->row - 1);
}

// Past its retention a device's oldest blocks go in bulk: never more than a sixteenth over.
TEST_F(HistoryTest, TheTrimKeepsTheNewestWithinASixteenth) {
    host::History h(path, 64);
    h.set_commit_interval(std::chrono::seconds(0));
    for (unsigned i = 0; i < 300; ++i) {
        const unsigned char byte = static_cast<unsigned char>(i);
        h.store_block(1, "2026-12-08 10:00:00", &byte, 1);
        ASSERT_LE(count_blocks(h), 68u);
    }
    host::HistoryFilter which;
    which.last = 1;
    h.for_each_block(which, [](const host::StoredBlock &b) { EXPECT_EQ(b.bytes[0], '\x2B'); });
    EXPECT_GE(count_blocks(h), 64u);
}

// A flash file system without shared writable mappings (jffs2), as a file system of SQLite's
// own: every call goes to the default one but the mapping of shared memory, which fails.
struct NoSharedMemory {
    struct File {
        sqlite3_file base;
        sqlite3_file *real;
    };
    static sqlite3_file *real(sqlite3_file *f) { return reinterpret_cast<File *>(f)->real; }
    static const sqlite3_io_methods *of(sqlite3_file *f) { return real(f)->pMethods; }

    static int open(sqlite3_vfs *vfs, const char *name, sqlite3_file *f, int flags, int *out) {
        static const sqlite3_io_methods methods = {
            2,
            [](sqlite3_file *f) {
                const int rc = of(f) ? of(f)->xClose(real(f)) : SQLITE_OK;
                std::free(real(f));
                return rc;
            },
            [](sqlite3_file *f, void *b, int n, sqlite3_int64 at) {
                return of(f)->xRead(real(f), b, n, at);
            },
            [](sqlite3_file *f, const void *b, int n, sqlite3_int64 at) {
                return of(f)->xWrite(real(f), b, n, at);
            },
            [](sqlite3_file *f, sqlite3_int64 n) { return of(f)->xTruncate(real(f), n); },
            [](sqlite3_file *f, int flags) { return of(f)->xSync(real(f), flags); },
            [](sqlite3_file *f, sqlite3_int64 *n) { return of(f)->xFileSize(real(f), n); },
            [](sqlite3_file *f, int lock) { return of(f)->xLock(real(f), lock); },
            [](sqlite3_file *f, int lock) { return of(f)->xUnlock(real(f), lock); },
            [](sqlite3_file *f, int *out) { return of(f)->xCheckReservedLock(real(f), out); },
            [](sqlite3_file *f, int op, void *arg) {
                return of(f)->xFileControl(real(f), op, arg);
            },
            [](sqlite3_file *f) { return of(f)->xSectorSize(real(f)); },
            [](sqlite3_file *f) { return of(f)->xDeviceCharacteristics(real(f)); },
            [](sqlite3_file *, int, int, int, void volatile **) { return SQLITE_IOERR_SHMMAP; },
            [](sqlite3_file *f, int at, int n, int flags) {
                return of(f)->xShmLock(real(f), at, n, flags);
            },
            [](sqlite3_file *f) { of(f)->xShmBarrier(real(f)); },
            [](sqlite3_file *f, int drop) { return of(f)->xShmUnmap(real(f), drop); },
            nullptr,
            nullptr};
        auto *base = static_cast<sqlite3_vfs *>(vfs->pAppData);
        auto *file = reinterpret_cast<File *>(f);
        file->real = static_cast<sqlite3_file *>(std::calloc(1, base->szOsFile));
        const int rc = base->xOpen(base, name, file->real, flags, out);
        file->base.pMethods = rc == SQLITE_OK ? &methods : nullptr;
        if (rc != SQLITE_OK)
            std::free(file->real);
        return rc;
    }

    NoSharedMemory() : base(sqlite3_vfs_find(nullptr)), vfs(*base) {
        vfs.zName = "no-shared-memory";
        vfs.pAppData = base;
        vfs.szOsFile = sizeof(File);
        vfs.xOpen = open;
        sqlite3_vfs_register(&vfs, 1);
    }
    ~NoSharedMemory() {
        sqlite3_vfs_unregister(&vfs);
        sqlite3_vfs_register(base, 1);
    }
    sqlite3_vfs *base;
    sqlite3_vfs vfs;
};

// A history left in write-ahead mode opens all the same, leaves that mode, and is read beside.
TEST_F(HistoryTest, OpensWhereSharedMemoryCannotBeMapped) {
    {
        host::History h(path, 10);
        store(h, 1, 0x42);
        h.commit();
        h.database()->execute("PRAGMA journal_mode = WAL");
    }
    NoSharedMemory jffs2;
    host::History h(path, 10);
    ASSERT_TRUE(h.newest_block(1));
    store(h, 1, 0x43);
    h.commit();
    std::string mode;
    h.database()->for_each_row("PRAGMA journal_mode", "mode",
                               [&](sqlite3_stmt *r) { mode = host::column_text(r, 0); });
    EXPECT_EQ(mode, "persist");
    host::History reader = host::History::for_reading(path);
    EXPECT_EQ(reader.newest_block(1)->bytes[0], '\x43');
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
