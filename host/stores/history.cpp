#include "host/stores/history.h"

#include <algorithm>
#include <cstdint>

namespace host {
namespace {

// Rows are numbered without AUTOINCREMENT, which rewrites sqlite_sequence at every insert: the
// newest row of a device is never trimmed, so no number comes back. Files made before keep their
// tables as they are.
const char *const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS blocks (
    id INTEGER PRIMARY KEY,
    data_id INTEGER NOT NULL,
    time TEXT NOT NULL,
    bytes BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS blocks_by_device ON blocks (data_id, id);
CREATE TABLE IF NOT EXISTS alarms (
    id INTEGER PRIMARY KEY,
    data_id INTEGER NOT NULL,
    time TEXT NOT NULL,
    signal_id TEXT NOT NULL,
    state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')),
    text TEXT NOT NULL,
    detail TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS alarms_by_device ON alarms (data_id, id);
CREATE INDEX IF NOT EXISTS alarms_by_time ON alarms (time);
CREATE TABLE IF NOT EXISTS requests (
    id INTEGER PRIMARY KEY,
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
CREATE INDEX IF NOT EXISTS requests_by_time ON requests (time);
)sql";

// The times each run of a device's rows covers: a selection by time reads the rows of the
// spans it meets, not the whole table. A small table: a row for each kSpanRows blocks.
const std::string kSpans = R"sql(
CREATE TABLE block_spans (
    data_id INTEGER NOT NULL,
    first_id INTEGER NOT NULL,
    last_id INTEGER NOT NULL,
    min_time TEXT NOT NULL,
    max_time TEXT NOT NULL,
    PRIMARY KEY (data_id, first_id)) WITHOUT ROWID;
INSERT INTO block_spans SELECT data_id, MIN(id), MAX(id), MIN(time), MAX(time) FROM blocks
    GROUP BY data_id, id / )sql" +
                           std::to_string(kSpanRows);

const char *const kNoteSpan =
    "INSERT INTO block_spans (data_id, first_id, last_id, min_time, max_time) VALUES (?1, ?2, ?3, "
    "?4, ?4) ON CONFLICT (data_id, first_id) DO UPDATE SET last_id = excluded.last_id, min_time = "
    "min(min_time, excluded.min_time), max_time = max(max_time, excluded.max_time)";

// A history made before requests said whether they reached their device: its rows did, as far
// as anyone can tell now, and stay with the requests that did.
const char *const kAddReached =
    "ALTER TABLE requests ADD COLUMN reached INTEGER NOT NULL DEFAULT 1";
const char *const kRequestsByReach =
    "CREATE INDEX IF NOT EXISTS requests_by_reach ON requests (data_id, reached, id)";

// The device's `?2` oldest blocks go, and the spans that covered only them.
const char *const kTrimOldest =
    "DELETE FROM blocks WHERE data_id = ?1 AND id < (SELECT id FROM blocks WHERE data_id = ?1 "
    "ORDER BY id LIMIT 1 OFFSET ?2)";
const char *const kTrimSpans =
    "DELETE FROM block_spans WHERE data_id = ?1 AND last_id < (SELECT MIN(id) FROM blocks WHERE "
    "data_id = ?1)";
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
    condition(which.after_row.has_value(), "id > :after");
    condition(which.before_row.has_value(), "id < :before");
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
    if (which.after_row)
        sqlite3_bind_int64(s, index(":after"), *which.after_row);
    if (which.before_row)
        sqlite3_bind_int64(s, index(":before"), *which.before_row);
    if (!which.since.empty())
        sqlite3_bind_text(s, index(":since"), which.since.c_str(), -1, SQLITE_TRANSIENT);
    if (!which.until.empty())
        sqlite3_bind_text(s, index(":until"), which.until.c_str(), -1, SQLITE_TRANSIENT);
    if (which.last)
        sqlite3_bind_int64(s, index(":last"), *which.last);
}

bool has_table(Database &db, const char *name) {
    Statement s = db.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    sqlite3_bind_text(s.get(), 1, name, -1, SQLITE_STATIC);
    return sqlite3_step(s.get()) == SQLITE_ROW;
}

const char *const kBlockColumns = "id, data_id, time, bytes";

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
        has_spans = has_table(*db, "block_spans");
        if (!db->read_only() && !has_spans) {
            db->atomically([this] { db->execute(kSpans.c_str()); });
            has_spans = true;
        }
        insert_block = db->prepare("INSERT INTO blocks (data_id, time, bytes) VALUES (?, ?, ?)");
        count_blocks = db->prepare("SELECT COUNT(*) FROM blocks WHERE data_id = ?");
        trim_oldest = db->prepare(kTrimOldest);
        if (has_spans) {
            trim_spans = db->prepare(kTrimSpans);
            if (!db->read_only())
                note_span = db->prepare(kNoteSpan);
        }
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

History::~History() {
    if (!db || db->read_only())
        return;
    try {
        commit();
    } catch (const HistoryError &) {
    }
}

History::DeviceRows &History::rows_of(uint32_t data_id) {
    auto found = devices.find(data_id);
    if (found != devices.end())
        return found->second;
    DeviceRows rows;
    sqlite3_bind_int64(count_blocks.get(), 1, data_id);
    db->each_row(count_blocks.get(), "count blocks",
                 [&](sqlite3_stmt *r) { rows.count = sqlite3_column_int64(r, 0); });
    return devices.emplace(data_id, rows).first->second;
}

// The span being filled takes the row; a full one gives way to a new span.
void History::note_in_span(uint32_t data_id, DeviceRows &rows, int64_t row,
                           const std::string &time) {
    if (rows.span_first == 0 || rows.span_rows >= kSpanRows) {
        rows.span_first = row;
        rows.span_rows = 0;
    }
    sqlite3_stmt *s = note_span.get();
    sqlite3_bind_int64(s, 1, data_id);
    sqlite3_bind_int64(s, 2, rows.span_first);
    sqlite3_bind_int64(s, 3, row);
    sqlite3_bind_text(s, 4, time.c_str(), -1, SQLITE_TRANSIENT);
    db->step_done(s, "note span");
    ++rows.span_rows;
}

template <class Write> void History::write_row(bool one_row, Write &&write) {
    waiting_rows += one_row ? 1 : 0;
    try {
        write();
    } catch (const HistoryError &) {
        if (db->batch_open()) {
            rows_lost += one_row ? 1 : 0;
            waiting_rows -= one_row ? 1 : 0;
        } else {
            rows_lost += waiting_rows;
            forget_waiting();
        }
        throw;
    }
}

void History::store_block(uint32_t data_id, const std::string &time, const unsigned char *data,
                          size_t len) {
    write_row(true, [&] {
        DeviceRows &rows = rows_of(data_id);
        db->batched([&] {
            sqlite3_stmt *s = insert_block.get();
            sqlite3_bind_int64(s, 1, data_id);
            sqlite3_bind_text(s, 2, time.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_blob(s, 3, data, static_cast<int>(len), SQLITE_TRANSIENT);
            db->step_done(s, "store block");
            note_in_span(data_id, rows, db->last_row(), time);
        });
        ++rows.count;
    });
    if (!waiting_since)
        waiting_since = Clock::now();
    commit_if_due();
}

void History::commit_if_due() {
    if (!db->batch_open())
        return;
    const bool due = !waiting_since || Clock::now() - *waiting_since >= commit_interval ||
                     waiting_rows >= kLargestBatch;
    if (due)
        commit();
}

// A commit another program's reading holds up is no failure: the rows wait on, and the next
// round tries again.
void History::commit() {
    if (!db->batch_open())
        return;
    write_row(false, [this] {
        db->batched([this] {
            for (auto &[data_id, rows] : devices)
                trim_blocks(data_id, rows);
        });
        try {
            db->commit();
        } catch (const HistoryError &) {
            if (!db->batch_open())
                throw;
            return;
        }
        waiting_since.reset();
        waiting_rows = 0;
    });
}

// The rows that waited are gone with their transaction: what is known of each device is read
// again from the file when next needed.
void History::forget_waiting() {
    devices.clear();
    waiting_since.reset();
    waiting_rows = 0;
}

// A device's oldest blocks go once it holds a sixteenth more than its retention: deleting from
// the front of the table rewrites the pages it empties and their parents, better done seldom
// and in bulk.
void History::trim_blocks(uint32_t data_id, DeviceRows &rows) {
    const int64_t keep = retention;
    if (rows.count <= keep + keep / 16)
        return;
    sqlite3_bind_int64(trim_oldest.get(), 1, data_id);
    sqlite3_bind_int64(trim_oldest.get(), 2, rows.count - keep);
    db->step_done(trim_oldest.get(), "trim blocks");
    sqlite3_bind_int64(trim_spans.get(), 1, data_id);
    db->step_done(trim_spans.get(), "trim spans");
    rows.count = keep;
}

void History::trim(sqlite3_stmt *s, uint32_t data_id, const char *what) {
    sqlite3_bind_int64(s, 1, data_id);
    sqlite3_bind_int64(s, 2, retention);
    db->step_done(s, what);
}

void History::store_alarm(const AlarmRecord &a) {
    write_row(true, [&] {
        db->batched([&] {
            sqlite3_stmt *s = insert_alarm.get();
            sqlite3_bind_int64(s, 1, a.data_id);
            sqlite3_bind_text(s, 2, a.time.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(s, 3, a.signal_id.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(s, 4, a.raised ? "raised" : "cleared", -1, SQLITE_STATIC);
            sqlite3_bind_text(s, 5, a.text.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(s, 6, a.detail.c_str(), -1, SQLITE_TRANSIENT);
            db->step_done(s, "store alarm");
            trim(trim_alarms.get(), a.data_id, "trim alarms");
        });
    });
    commit();
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
    for_each_selected("blocks", kBlockColumns, pinned_blocks(which),
                      [&](sqlite3_stmt *r) { visit(block_row(r)); });
}

// The row from which the newest `last` rows of the selection begin; none when it holds fewer.
std::optional<int64_t> History::newest_row_at_or_above(const HistoryFilter &which) {
    HistoryFilter all = which;
    all.last.reset();
    std::string sql = selection_sql("blocks", "id", all);
    sql.replace(sql.rfind("ORDER BY id"), std::string::npos, "ORDER BY id DESC LIMIT 1 OFFSET ?");
    Statement s = db->prepare(sql.c_str());
    bind_selection(s.get(), all);
    sqlite3_bind_int64(s.get(), sqlite3_bind_parameter_count(s.get()), *which.last - 1);
    std::optional<int64_t> found;
    db->each_row(s.get(), "read blocks",
                 [&](sqlite3_stmt *r) { found = sqlite3_column_int64(r, 0); });
    return found;
}

HistoryFilter History::pinned_blocks(const HistoryFilter &which) {
    HistoryFilter pinned = which;
    const auto narrow_after = [&pinned](int64_t row) {
        pinned.after_row = std::max(pinned.after_row.value_or(row), row);
    };
    const auto narrow_before = [&pinned](int64_t row) {
        pinned.before_row = std::min(pinned.before_row.value_or(row), row);
    };
    // Nothing stored after this moment.
    db->for_each_row("SELECT COALESCE(MAX(id), 0) FROM blocks", "read blocks",
                     [&](sqlite3_stmt *r) { narrow_before(sqlite3_column_int64(r, 0) + 1); });
    if (has_spans && (!which.since.empty() || !which.until.empty())) {
        std::string where = which.data_id ? "data_id = :data_id" : "1";
        if (!which.since.empty())
            where += " AND max_time >= :since";
        if (!which.until.empty())
            where += " AND min_time < :until";
        HistoryFilter times;
        times.data_id = which.data_id;
        times.since = which.since;
        times.until = which.until;
        Statement s = db->prepare(
            ("SELECT MIN(first_id), MAX(last_id) FROM block_spans WHERE " + where).c_str());
        bind_selection(s.get(), times);
        db->each_row(s.get(), "read spans", [&](sqlite3_stmt *r) {
            const bool none = sqlite3_column_type(r, 0) == SQLITE_NULL;
            narrow_after(none ? 0 : sqlite3_column_int64(r, 0) - 1);
            narrow_before(none ? 1 : sqlite3_column_int64(r, 1) + 1);
        });
    }
    if (which.last) {
        if (const auto first = newest_row_at_or_above(pinned))
            narrow_after(*first - 1);
        pinned.last.reset();
    }
    return pinned;
}

std::optional<int64_t> History::older_than_pinned(const HistoryFilter &which,
                                                  const HistoryFilter &pinned) {
    if (!which.last || !pinned.after_row)
        return std::nullopt;
    HistoryFilter older = which;
    older.before_row = std::min(which.before_row.value_or(INT64_MAX), *pinned.after_row + 1);
    older.last.reset();
    older = pinned_blocks(older); // its spans bound what the look reads
    older.last = 1;
    if (!newest_row_at_or_above(older))
        return std::nullopt;
    return *pinned.after_row + 1;
}

std::vector<StoredBlock> History::block_page(const HistoryFilter &pinned, unsigned most) {
    Statement s =
        db->prepare((selection_sql("blocks", kBlockColumns, pinned) + " LIMIT :most").c_str());
    bind_selection(s.get(), pinned);
    sqlite3_bind_int64(s.get(), sqlite3_bind_parameter_index(s.get(), ":most"), most);
    std::vector<StoredBlock> page;
    db->each_row(s.get(), "read blocks", [&](sqlite3_stmt *r) { page.push_back(block_row(r)); });
    return page;
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
    write_row(true, [&] {
        db->batched([&] {
            db->step_done(s.get(), "store request");
            Statement trim_requests = db->prepare(kTrimRequests);
            sqlite3_bind_int64(trim_requests.get(), 1, r.data_id);
            sqlite3_bind_int64(trim_requests.get(), 2,
                               r.reached ? retention : std::min(retention, kRefusedRequestsKept));
            sqlite3_bind_int(trim_requests.get(), 3, r.reached ? 1 : 0);
            db->step_done(trim_requests.get(), "trim requests");
        });
    });
    commit();
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
