#include "host/stores/history.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace host {
namespace {

const char *const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS blocks (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    data_id INTEGER NOT NULL,
    time TEXT NOT NULL,
    bytes BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS blocks_by_device ON blocks (data_id, id);
CREATE TABLE IF NOT EXISTS alarms (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    data_id INTEGER NOT NULL,
    time TEXT NOT NULL,
    signal_id TEXT NOT NULL,
    state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')),
    text TEXT NOT NULL,
    detail TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS alarms_by_device ON alarms (data_id, id);
CREATE TABLE IF NOT EXISTS requests (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    data_id INTEGER NOT NULL,
    time TEXT NOT NULL,
    source TEXT NOT NULL,
    kind TEXT NOT NULL,
    request_id TEXT NOT NULL,
    request TEXT NOT NULL,
    outcome TEXT NOT NULL,
    reason TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS requests_by_device ON requests (data_id, id);
CREATE TABLE IF NOT EXISTS mqtt_outbox (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    topic TEXT NOT NULL,
    payload TEXT NOT NULL,
    dropped_before INTEGER NOT NULL DEFAULT 0);
)sql";

// Everything of a device older than its newest `retention` rows goes.
const char *const kTrimBlocks =
    "DELETE FROM blocks WHERE data_id = ?1 AND id <= (SELECT id FROM blocks WHERE data_id = ?1 "
    "ORDER BY id DESC LIMIT 1 OFFSET ?2)";
const char *const kTrimAlarms =
    "DELETE FROM alarms WHERE data_id = ?1 AND id <= (SELECT id FROM alarms WHERE data_id = ?1 "
    "ORDER BY id DESC LIMIT 1 OFFSET ?2)";

const char *const kTrimRequests =
    "DELETE FROM requests WHERE data_id = ?1 AND id <= (SELECT id FROM requests WHERE data_id = ?1 "
    "ORDER BY id DESC LIMIT 1 OFFSET ?2)";

// The oldest events beyond the limit go; the count of what went (their own dropped counts
// included) moves to the oldest event kept, so that a subscriber learns of the gap.
const char *const kOverflowCount =
    "SELECT COUNT(*), COUNT(*) + COALESCE(SUM(dropped_before), 0) FROM (SELECT dropped_before FROM "
    "mqtt_outbox ORDER BY seq LIMIT max(0, (SELECT COUNT(*) FROM mqtt_outbox) - ?1))";
const char *const kOverflowDelete =
    "DELETE FROM mqtt_outbox WHERE seq IN (SELECT seq FROM mqtt_outbox ORDER BY seq LIMIT "
    "max(0, (SELECT COUNT(*) FROM mqtt_outbox) - ?1))";
const char *const kOverflowCarry = "UPDATE mqtt_outbox SET dropped_before = dropped_before + ?1 "
                                   "WHERE seq = (SELECT MIN(seq) FROM mqtt_outbox)";

std::string column_text(sqlite3_stmt *s, int column) {
    const auto *text = sqlite3_column_text(s, column);
    return text ? reinterpret_cast<const char *>(text) : "";
}

std::string column_bytes(sqlite3_stmt *s, int column) {
    const void *blob = sqlite3_column_blob(s, column);
    const int n = sqlite3_column_bytes(s, column);
    return blob ? std::string(static_cast<const char *>(blob), static_cast<size_t>(n)) : "";
}

StoredBlock block_row(sqlite3_stmt *s) {
    return {sqlite3_column_int64(s, 0), static_cast<uint32_t>(sqlite3_column_int64(s, 1)),
            column_text(s, 2), column_bytes(s, 3)};
}

} // namespace

History::History(const std::string &path, unsigned keep) : retention(keep) {
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw HistoryError("history " + path + ": " + why);
    }
    sqlite3_busy_timeout(db, 2000);
    try {
        check_integrity(path);
        // A controller's flash wears: one journal write per round, not two. Its space is
        // small: the log is checkpointed often and cut back after each checkpoint.
        execute("PRAGMA journal_mode = WAL");
        execute("PRAGMA synchronous = NORMAL");
        execute(("PRAGMA wal_autocheckpoint = " + std::to_string(kWalCheckpointPages)).c_str());
        execute(("PRAGMA journal_size_limit = " + std::to_string(kWalSizeLimit)).c_str());
        execute(kSchema);
        insert_block = prepare("INSERT INTO blocks (data_id, time, bytes) VALUES (?, ?, ?)");
        trim_blocks = prepare(kTrimBlocks);
        insert_alarm = prepare("INSERT INTO alarms (data_id, time, signal_id, state, text, detail)"
                               " VALUES (?, ?, ?, ?, ?, ?)");
        trim_alarms = prepare(kTrimAlarms);
        select_newest = prepare("SELECT id, data_id, time, bytes FROM blocks WHERE data_id = ? "
                                "ORDER BY id DESC LIMIT 1");
        insert_event = prepare("INSERT INTO mqtt_outbox (topic, payload) VALUES (?, ?)");
        select_events = prepare("SELECT seq, topic, payload, dropped_before FROM mqtt_outbox "
                                "WHERE seq > ? ORDER BY seq LIMIT ?");
        delete_event = prepare("DELETE FROM mqtt_outbox WHERE seq = ?");
    } catch (const HistoryDamaged &e) {
        release();
        throw;
    } catch (const HistoryError &e) {
        release();
        throw HistoryError("history " + path + ": " + e.what());
    }
}

// The quick check reads every page; a file that is not a database at all fails it as well.
void History::check_integrity(const std::string &path) {
    sqlite3_stmt *raw = nullptr;
    const int prepared = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &raw, nullptr);
    Statement check(raw);
    std::string verdict;
    if (prepared == SQLITE_OK) {
        const int rc = sqlite3_step(check.get());
        verdict = rc == SQLITE_ROW ? column_text(check.get(), 0) : sqlite3_errmsg(db);
    } else {
        verdict = sqlite3_errmsg(db);
    }
    if (verdict != "ok")
        throw HistoryDamaged("history " + path + ": damaged (" + verdict + ")");
}

History::~History() {
    release();
}

// Statements first: a connection with statements left open does not close.
void History::release() {
    for (Statement *s : {&insert_block, &trim_blocks, &insert_alarm, &trim_alarms, &select_newest,
                         &insert_event, &select_events, &delete_event})
        s->reset();
    sqlite3_close(db);
    db = nullptr;
}

void History::fail(const char *what) {
    throw HistoryError(std::string(what) + ": " + sqlite3_errmsg(db));
}

History::Statement History::prepare(const char *sql) {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
        fail("prepare");
    return Statement(s);
}

void History::execute(const char *sql) {
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string why = message ? message : "error";
        sqlite3_free(message);
        throw HistoryError(why);
    }
}

void History::step_done(sqlite3_stmt *s, const char *what) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (rc != SQLITE_DONE)
        fail(what);
}

void History::store_block(uint32_t data_id, const std::string &time, const unsigned char *data,
                          size_t len) {
    sqlite3_stmt *s = insert_block.get();
    sqlite3_bind_int64(s, 1, data_id);
    sqlite3_bind_text(s, 2, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(s, 3, data, static_cast<int>(len), SQLITE_TRANSIENT);
    step_done(s, "store block");
    sqlite3_bind_int64(trim_blocks.get(), 1, data_id);
    sqlite3_bind_int64(trim_blocks.get(), 2, retention);
    step_done(trim_blocks.get(), "trim blocks");
}

void History::store_alarm(const AlarmRecord &a) {
    sqlite3_stmt *s = insert_alarm.get();
    sqlite3_bind_int64(s, 1, a.data_id);
    sqlite3_bind_text(s, 2, a.time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 3, a.signal_id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 4, a.raised ? "raised" : "cleared", -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 5, a.text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 6, a.detail.c_str(), -1, SQLITE_TRANSIENT);
    step_done(s, "store alarm");
    sqlite3_bind_int64(trim_alarms.get(), 1, a.data_id);
    sqlite3_bind_int64(trim_alarms.get(), 2, retention);
    step_done(trim_alarms.get(), "trim alarms");
}

std::optional<StoredBlock> History::newest_block(uint32_t data_id) {
    sqlite3_stmt *s = select_newest.get();
    sqlite3_bind_int64(s, 1, data_id);
    std::optional<StoredBlock> found;
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW)
        found = block_row(s);
    sqlite3_reset(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        fail("read newest block");
    return found;
}

// Every row of `sql`, in order; `what` names the reading in an error.
void History::for_each_row(const char *sql, const char *what,
                           const std::function<void(sqlite3_stmt *)> &row) {
    Statement s = prepare(sql);
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
        row(s.get());
    if (rc != SQLITE_DONE)
        fail(what);
}

void History::for_each_block(const std::function<void(const StoredBlock &)> &visit) {
    for_each_row("SELECT id, data_id, time, bytes FROM blocks ORDER BY id", "read blocks",
                 [&](sqlite3_stmt *r) { visit(block_row(r)); });
}

void History::for_each_alarm(const std::function<void(const AlarmRecord &)> &visit) {
    for_each_row("SELECT id, data_id, time, signal_id, state, text, detail FROM alarms "
                 "ORDER BY id",
                 "read alarms", [&](sqlite3_stmt *r) {
                     visit({sqlite3_column_int64(r, 0),
                            static_cast<uint32_t>(sqlite3_column_int64(r, 1)), column_text(r, 2),
                            column_text(r, 3), column_text(r, 4) == "raised", column_text(r, 5),
                            column_text(r, 6)});
                 });
}

void History::store_request(const RequestRecord &r) {
    Statement s = prepare("INSERT INTO requests (data_id, time, source, kind, request_id, "
                          "request, outcome, reason) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    sqlite3_bind_int64(s.get(), 1, r.data_id);
    int column = 2;
    for (const std::string *text :
         {&r.time, &r.source, &r.kind, &r.request_id, &r.request, &r.outcome, &r.reason})
        sqlite3_bind_text(s.get(), column++, text->c_str(), static_cast<int>(text->size()),
                          SQLITE_TRANSIENT);
    step_done(s.get(), "store request");
    Statement trim = prepare(kTrimRequests);
    sqlite3_bind_int64(trim.get(), 1, r.data_id);
    sqlite3_bind_int64(trim.get(), 2, retention);
    step_done(trim.get(), "trim requests");
}

void History::for_each_request(const std::function<void(const RequestRecord &)> &visit) {
    for_each_row("SELECT id, data_id, time, source, kind, request_id, request, outcome, reason "
                 "FROM requests ORDER BY id",
                 "read requests", [&](sqlite3_stmt *r) {
                     visit({sqlite3_column_int64(r, 0),
                            static_cast<uint32_t>(sqlite3_column_int64(r, 1)), column_text(r, 2),
                            column_text(r, 3), column_text(r, 4), column_text(r, 5),
                            column_text(r, 6), column_text(r, 7), column_text(r, 8)});
                 });
}

unsigned long History::queue_event(const std::string &topic, const std::string &payload,
                                   unsigned long limit) {
    execute("SAVEPOINT queue_event");
    try {
        sqlite3_bind_text(insert_event.get(), 1, topic.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert_event.get(), 2, payload.c_str(), -1, SQLITE_TRANSIENT);
        step_done(insert_event.get(), "queue event");
        Statement count = prepare(kOverflowCount);
        sqlite3_bind_int64(count.get(), 1, static_cast<sqlite3_int64>(limit));
        if (sqlite3_step(count.get()) != SQLITE_ROW)
            fail("count overflow");
        const int64_t dropped = sqlite3_column_int64(count.get(), 0);
        const int64_t carried = sqlite3_column_int64(count.get(), 1);
        if (dropped > 0) {
            Statement gone = prepare(kOverflowDelete);
            sqlite3_bind_int64(gone.get(), 1, static_cast<sqlite3_int64>(limit));
            step_done(gone.get(), "drop events");
            Statement carry = prepare(kOverflowCarry);
            sqlite3_bind_int64(carry.get(), 1, carried);
            step_done(carry.get(), "count dropped events");
        }
        execute("RELEASE queue_event");
        return static_cast<unsigned long>(dropped);
    } catch (const HistoryError &) {
        sqlite3_exec(db, "ROLLBACK TO queue_event; RELEASE queue_event", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<QueuedEvent> History::queued_events(int64_t after_seq, unsigned count) {
    sqlite3_stmt *s = select_events.get();
    sqlite3_bind_int64(s, 1, after_seq);
    sqlite3_bind_int64(s, 2, count);
    std::vector<QueuedEvent> events;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        events.push_back({sqlite3_column_int64(s, 0), column_text(s, 1), column_text(s, 2),
                          sqlite3_column_int64(s, 3)});
    sqlite3_reset(s);
    if (rc != SQLITE_DONE)
        fail("read queued events");
    return events;
}

void History::event_delivered(int64_t seq) {
    sqlite3_bind_int64(delete_event.get(), 1, seq);
    step_done(delete_event.get(), "forget delivered event");
}

std::string move_aside(const std::string &path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string moved = path + ".damaged-" + stamp;
    if (std::rename(path.c_str(), moved.c_str()) != 0)
        throw HistoryError("history " + path + ": cannot move it to " + moved + ": " +
                           std::strerror(errno));
    for (const char *suffix : {"-wal", "-shm"})
        std::rename((path + suffix).c_str(), (moved + suffix).c_str());
    return moved;
}

std::string local_time_text() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

} // namespace host
