#include "host/stores/database.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace host {

Database::Database(const std::string &file) : path(file) {
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw HistoryError("history " + path + ": " + why);
    }
    sqlite3_busy_timeout(db, 2000);
    try {
        check_integrity();
        // A controller's flash wears: one journal write per round, not two. Its space is
        // small: the log is checkpointed often and cut back after each checkpoint.
        set_up("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL", [this] {
            execute(("PRAGMA wal_autocheckpoint = " + std::to_string(kWalCheckpointPages)).c_str());
            execute(("PRAGMA journal_size_limit = " + std::to_string(kWalSizeLimit)).c_str());
        });
    } catch (const HistoryError &) {
        sqlite3_close(db);
        throw;
    }
}

// Statements go before their connection: whoever prepared them holds the connection too.
Database::~Database() {
    sqlite3_close(db);
}

// The quick check reads every page; a file that is not a database at all fails it as well.
void Database::check_integrity() {
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

void Database::set_up(const char *schema, const std::function<void()> &prepare_statements) {
    try {
        execute(schema);
        prepare_statements();
    } catch (const HistoryError &e) {
        throw HistoryError("history " + path + ": " + e.what());
    }
}

void Database::fail(const char *what) {
    throw HistoryError(std::string(what) + ": " + sqlite3_errmsg(db));
}

Statement Database::prepare(const char *sql) {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
        fail("prepare");
    return Statement(s);
}

void Database::execute(const char *sql) {
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string why = message ? message : "error";
        sqlite3_free(message);
        throw HistoryError(why);
    }
}

void Database::step_done(sqlite3_stmt *s, const char *what) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (rc != SQLITE_DONE)
        fail(what);
}

void Database::each_row(sqlite3_stmt *s, const char *what,
                        const std::function<void(sqlite3_stmt *)> &row) {
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        row(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (rc != SQLITE_DONE)
        fail(what);
}

void Database::for_each_row(const char *sql, const char *what,
                            const std::function<void(sqlite3_stmt *)> &row) {
    Statement s = prepare(sql);
    each_row(s.get(), what, row);
}

void Database::atomically(const std::function<void()> &work) {
    execute("SAVEPOINT atomically");
    try {
        work();
        execute("RELEASE atomically");
    } catch (const HistoryError &) {
        sqlite3_exec(db, "ROLLBACK TO atomically; RELEASE atomically", nullptr, nullptr, nullptr);
        throw;
    }
}

std::string column_text(sqlite3_stmt *s, int column) {
    const auto *text = sqlite3_column_text(s, column);
    return text ? reinterpret_cast<const char *>(text) : "";
}

std::string column_bytes(sqlite3_stmt *s, int column) {
    const void *blob = sqlite3_column_blob(s, column);
    const int n = sqlite3_column_bytes(s, column);
    return blob ? std::string(static_cast<const char *>(blob), static_cast<size_t>(n)) : "";
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

} // namespace host
