#include "host/stores/database.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace host {
namespace {

// How long opening waits for another program that holds the file (a listing reading it), and
// how long a write on the host's loop does.
constexpr int kOpeningWaitMs = 2000;
constexpr int kWriterWaitMs = 20;

// Write-ahead mode, as a file's header says it (its read and write versions 2), without
// opening it: a file left so by earlier versions.
bool in_write_ahead_mode(const std::string &path) {
    unsigned char header[20] = {};
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    const size_t n = std::fread(header, 1, sizeof header, f);
    std::fclose(f);
    return n == sizeof header && std::memcmp(header, "SQLite format 3", 16) == 0 &&
           header[18] == 2 && header[19] == 2;
}

bool in_memory(const std::string &path) {
    return path == ":memory:";
}

std::string folder_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string write_refusal(int error, const std::string &what) {
    if (error == EROFS)
        return "the file system is read-only";
    return what + " may not be written (" + std::strerror(error) + ")";
}

// SQLite opens a file it may not write read-only and then fails its first read of the journal
// with "unable to open database file", which reads as damage. Writing needs the file and its
// folder, where the journal files go: a refusal is told as what it is.
void check_writable(const std::string &path) {
    if (in_memory(path))
        return;
    if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0)
        throw HistoryError("history " + path + ": " + write_refusal(errno, "the file"));
    const std::string folder = folder_of(path);
    if (access(folder.c_str(), W_OK) != 0 && errno != ENOENT)
        throw HistoryError("history " + path + ": " + write_refusal(errno, "its folder " + folder));
}

bool on_read_only_file_system(const std::string &path) {
    struct statvfs fs {};
    return statvfs(path.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0;
}

// A reader of a file in write-ahead mode needs its shared-memory file, and makes it when no
// writer has. Where it cannot (a read-only file system, or a folder of another user's with no
// host at work in it: a writer keeps its log file while it has the file open), nothing changes
// the file under the reader, and SQLite is told so.
bool unchanging(const std::string &path) {
    if (on_read_only_file_system(path))
        return true;
    return access(folder_of(path).c_str(), W_OK) != 0 && access((path + "-wal").c_str(), F_OK) != 0;
}

std::string reader_uri(const std::string &path) {
    std::string uri = "file:";
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    return uri + (unchanging(path) ? "?mode=ro&immutable=1" : "?mode=ro");
}

} // namespace

Database::Database(const std::string &file, Access how) : path(file), access(how) {
    open_file();
    sqlite3_busy_timeout(db, kOpeningWaitMs);
    try {
        if (read_only()) {
            check_integrity();
            return;
        }
        if (!in_memory(path) && in_write_ahead_mode(path))
            leave_write_ahead_mode();
        check_integrity();
        set_journal();
    } catch (const HistoryError &) {
        sqlite3_close(db);
        db = nullptr;
        throw;
    }
    // The host's loop waits for nobody: a commit another program's reading holds up is tried
    // again later.
    sqlite3_busy_timeout(db, kWriterWaitMs);
}

// A file in write-ahead mode (as earlier versions left it) needs its -shm file mapped shared,
// which a flash file system without shared writable mappings (jffs2) refuses. With the lock
// held exclusively SQLite keeps that index in its own memory, and the file can leave that mode;
// opened anew, the connection's locks are normal again, so that listings read beside. A file
// another program reads just now stays as it is until the next start (and works wherever its
// shared memory does).
void Database::leave_write_ahead_mode() {
    execute("PRAGMA locking_mode = EXCLUSIVE");
    sqlite3_exec(db, "PRAGMA journal_mode = PERSIST", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    db = nullptr;
    open_file();
    sqlite3_busy_timeout(db, kOpeningWaitMs);
}

// The rollback journal, kept in place: no shared memory (see above), and the file synced at the
// few commits a batch of rows makes. Deleted rows are not overwritten with zeros first: Debian's
// SQLite does that by default, doubling what a trim writes.
void Database::set_journal() {
    set_up("PRAGMA secure_delete = OFF; PRAGMA synchronous = FULL", [this] {
        execute(("PRAGMA page_size = " + std::to_string(kPageSize)).c_str());
        // As for leave_write_ahead_mode(): a file another program reads stays as it is.
        sqlite3_exec(db, "PRAGMA journal_mode = PERSIST", nullptr, nullptr, nullptr);
        execute(("PRAGMA journal_size_limit = " + std::to_string(kJournalSizeLimit)).c_str());
    });
}

void Database::open_file() {
    int opened;
    if (read_only()) {
        opened = sqlite3_open_v2(reader_uri(path).c_str(), &db,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    } else {
        check_writable(path);
        opened =
            sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    }
    if (opened != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        db = nullptr;
        throw HistoryError("history " + path + ": " + why);
    }
}

// Statements go before their connection: whoever prepared them holds the connection too. Rows
// still waiting are kept: a stop loses nothing.
Database::~Database() {
    if (open_batch)
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

// The quick check reads every page; a file that is not a database at all fails it as well. Only
// what it found, or a file SQLite calls corrupt or no database, is damage: any other failure
// (a journal that cannot be opened, a read error) is told as itself.
void Database::check_integrity() {
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &raw, nullptr);
    Statement check(raw);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(check.get());
    if (rc == SQLITE_ROW) {
        const std::string verdict = column_text(check.get(), 0);
        if (verdict != "ok")
            throw HistoryDamaged("history " + path + ": damaged (" + verdict + ")");
        return;
    }
    const std::string why = sqlite3_errmsg(db);
    const int primary = rc & 0xff;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)
        throw HistoryDamaged("history " + path + ": damaged (" + why + ")");
    throw HistoryError("history " + path + ": cannot read it: " + why);
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

void Database::batched(const std::function<void()> &work) {
    if (!open_batch) {
        execute("BEGIN");
        open_batch = true;
    }
    atomically(work);
}

void Database::commit() {
    if (!open_batch)
        return;
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        open_batch = false;
        return;
    }
    const std::string why = sqlite3_errmsg(db);
    // SQLite rolls back what an I/O error or a full disk interrupted; a busy file leaves the
    // transaction open.
    open_batch = !sqlite3_get_autocommit(db);
    throw HistoryError("commit: " + why);
}

// Whole: a text stored with a NUL in it (a request id, say) comes back with it.
std::string column_text(sqlite3_stmt *s, int column) {
    const auto *text = sqlite3_column_text(s, column);
    const int n = sqlite3_column_bytes(s, column);
    return text ? std::string(reinterpret_cast<const char *>(text), static_cast<size_t>(n)) : "";
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
    for (const char *suffix : {"-wal", "-shm", "-journal"})
        std::rename((path + suffix).c_str(), (moved + suffix).c_str());
    return moved;
}

} // namespace host
