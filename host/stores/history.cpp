#include "host/stores/history.h"

#include <algorithm>

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
    reason TEXT NOT NULL,
    reached INTEGER NOT NULL DEFAULT 1);
CREATE INDEX IF NOT EXISTS requests_by_device ON requests (data_id, id);
)sql";

// A history made before requests said whether they reached their device: its rows did, as far
// as anyone can tell now, and stay with the requests that did.
const char *const kAddReached =
    "ALTER TABLE requests ADD COLUMN reached INTEGER NOT NULL DEFAULT 1";
const char *const kRequestsByReach =
    "CREATE INDEX IF NOT EXISTS requests_by_reach ON requests (data_id, reached, id)";

// Everything of a device older than its newest `retention` rows goes.
const char *const kTrimBlocks =
    "DELETE FROM blocks WHERE data_id = ?1 AND id <= (SELECT id FROM blocks WHERE data_id = ?1 "
    "ORDER BY id DESC LIMIT 1 OFFSET ?2)";
const char *const kTrimAlarms =
    "DELETE FROM alarms WHERE data_id = ?1 AND id <= (SELECT id FROM alarms WHERE data_id = ?1 "
    "ORDER BY id DESC LIMIT 1 OFFSET ?2)";

// Requests that reached their device and those refused before it are trimmed apart, each to its
// own number: a flood of refused requests cannot push the ones that acted out of the history.
const char *const kTrimRequests =
    "DELETE FROM requests WHERE data_id = ?1 AND reached = ?3 AND id <= (SELECT id FROM requests "
    "WHERE data_id = ?1 AND reached = ?3 ORDER BY id DESC LIMIT 1 OFFSET ?2)";

// Only the conditions given go into the text, so that SQLite can use the index by device.
// The newest N are taken newest first and put back in stored order around them.
std::string selection_sql(const std::string &table, const std::string &columns,
                          const HistoryFilter &which) {
    std::string where;
    const auto condition = [&where](bool given, const char *text) {
        if (given)
            where += (where.empty() ? " WHERE " : " AND ") + std::string(text);
    };
    condition(which.data_id.has_value(), "data_id = :data_id");
    condition(!which.since.empty(), "time >= :since");
    condition(!which.until.empty(), "time < :until");
    const std::string select = "SELECT " + columns + " FROM " + table + where;
    if (!which.last)
        return select + " ORDER BY id";
    return "SELECT * FROM (" + select + " ORDER BY id DESC LIMIT :last) ORDER BY id";
}

void bind_selection(sqlite3_stmt *s, const HistoryFilter &which) {
    const auto index = [s](const char *name) { return sqlite3_bind_parameter_index(s, name); };
    if (which.data_id)
        sqlite3_bind_int64(s, index(":data_id"), *which.data_id);
    if (!which.since.empty())
        sqlite3_bind_text(s, index(":since"), which.since.c_str(), -1, SQLITE_TRANSIENT);
    if (!which.until.empty())
        sqlite3_bind_text(s, index(":until"), which.until.c_str(), -1, SQLITE_TRANSIENT);
    if (which.last)
        sqlite3_bind_int64(s, index(":last"), *which.last);
}

StoredBlock block_row(sqlite3_stmt *s) {
    return {sqlite3_column_int64(s, 0), static_cast<uint32_t>(sqlite3_column_int64(s, 1)),
            column_text(s, 2), column_bytes(s, 3)};
}

} // namespace

History::History(const std::string &path, unsigned keep)
    : History(std::make_shared<Database>(path), keep) {}

History History::for_reading(const std::string &path) {
    return History(std::make_shared<Database>(path, Database::Access::ReadOnly), 0);
}

History::History(std::shared_ptr<Database> database, unsigned keep)
    : db(std::move(database)), retention(keep) {
    // A reader finds the tables there or fails to prepare its statements.
    db->set_up(db->read_only() ? "" : kSchema, [this] {
        insert_block = db->prepare("INSERT INTO blocks (data_id, time, bytes) VALUES (?, ?, ?)");
        trim_blocks = db->prepare(kTrimBlocks);
        insert_alarm = db->prepare("INSERT INTO alarms (data_id, time, signal_id, state, text, "
                                   "detail) VALUES (?, ?, ?, ?, ?, ?)");
        trim_alarms = db->prepare(kTrimAlarms);
        select_newest = db->prepare("SELECT id, data_id, time, bytes FROM blocks WHERE data_id "
                                    "= ? ORDER BY id DESC LIMIT 1");
        if (!db->read_only()) {
            bool has_reached = false;
            db->for_each_row(
                "PRAGMA table_info(requests)", "read the requests' columns",
                [&](sqlite3_stmt *r) { has_reached |= column_text(r, 1) == "reached"; });
            if (!has_reached)
                db->execute(kAddReached);
            db->execute(kRequestsByReach);
        }
    });
}

void History::trim(sqlite3_stmt *s, uint32_t data_id, const char *what) {
    sqlite3_bind_int64(s, 1, data_id);
    sqlite3_bind_int64(s, 2, retention);
    db->step_done(s, what);
}

void History::store_block(uint32_t data_id, const std::string &time, const unsigned char *data,
                          size_t len) {
    sqlite3_stmt *s = insert_block.get();
    sqlite3_bind_int64(s, 1, data_id);
    sqlite3_bind_text(s, 2, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(s, 3, data, static_cast<int>(len), SQLITE_TRANSIENT);
    db->step_done(s, "store block");
    trim(trim_blocks.get(), data_id, "trim blocks");
}

void History::store_alarm(const AlarmRecord &a) {
    sqlite3_stmt *s = insert_alarm.get();
    sqlite3_bind_int64(s, 1, a.data_id);
    sqlite3_bind_text(s, 2, a.time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 3, a.signal_id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 4, a.raised ? "raised" : "cleared", -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 5, a.text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 6, a.detail.c_str(), -1, SQLITE_TRANSIENT);
    db->step_done(s, "store alarm");
    trim(trim_alarms.get(), a.data_id, "trim alarms");
}

std::optional<StoredBlock> History::newest_block(uint32_t data_id) {
    sqlite3_bind_int64(select_newest.get(), 1, data_id);
    std::optional<StoredBlock> found;
    db->each_row(select_newest.get(), "read newest block",
                 [&](sqlite3_stmt *r) { found = block_row(r); });
    return found;
}

void History::for_each_block(const HistoryFilter &which,
                             const std::function<void(const StoredBlock &)> &visit) {
    for_each_selected("blocks", "id, data_id, time, bytes", which,
                      [&](sqlite3_stmt *r) { visit(block_row(r)); });
}

void History::for_each_alarm(const HistoryFilter &which,
                             const std::function<void(const AlarmRecord &)> &visit) {
    for_each_selected(
        "alarms", "id, data_id, time, signal_id, state, text, detail", which, [&](sqlite3_stmt *r) {
            visit({sqlite3_column_int64(r, 0), static_cast<uint32_t>(sqlite3_column_int64(r, 1)),
                   column_text(r, 2), column_text(r, 3), column_text(r, 4) == "raised",
                   column_text(r, 5), column_text(r, 6)});
        });
}

void History::store_request(const RequestRecord &r) {
    Statement s = db->prepare("INSERT INTO requests (data_id, time, source, kind, request_id, "
                              "request, outcome, reason, reached) VALUES (?, ?, ?, ?, ?, ?, ?, ?, "
                              "?)");
    sqlite3_bind_int64(s.get(), 1, r.data_id);
    int column = 2;
    for (const std::string *text :
         {&r.time, &r.source, &r.kind, &r.request_id, &r.request, &r.outcome, &r.reason})
        sqlite3_bind_text(s.get(), column++, text->c_str(), static_cast<int>(text->size()),
                          SQLITE_TRANSIENT);
    sqlite3_bind_int(s.get(), column, r.reached ? 1 : 0);
    db->step_done(s.get(), "store request");
    Statement trim_requests = db->prepare(kTrimRequests);
    sqlite3_bind_int64(trim_requests.get(), 1, r.data_id);
    sqlite3_bind_int64(trim_requests.get(), 2,
                       r.reached ? retention : std::min(retention, kRefusedRequestsKept));
    sqlite3_bind_int(trim_requests.get(), 3, r.reached ? 1 : 0);
    db->step_done(trim_requests.get(), "trim requests");
}

void History::for_each_request(const HistoryFilter &which,
                               const std::function<void(const RequestRecord &)> &visit) {
    for_each_selected(
        "requests", "id, data_id, time, source, kind, request_id, request, outcome, reason", which,
        [&](sqlite3_stmt *r) {
            visit({sqlite3_column_int64(r, 0), static_cast<uint32_t>(sqlite3_column_int64(r, 1)),
                   column_text(r, 2), column_text(r, 3), column_text(r, 4), column_text(r, 5),
                   column_text(r, 6), column_text(r, 7), column_text(r, 8)});
        });
}

void History::for_each_selected(const char *table, const char *columns, const HistoryFilter &which,
                                const std::function<void(sqlite3_stmt *)> &row) {
    Statement s = db->prepare(selection_sql(table, columns, which).c_str());
    bind_selection(s.get(), which);
    db->each_row(s.get(), (std::string("read ") + table).c_str(), row);
}

} // namespace host
