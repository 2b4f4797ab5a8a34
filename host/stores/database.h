// One connection to the host's SQLite file, shared by the archive and the broker's outbox that
// keep their tables in it: opening and checking the file, its journal settings, statements and
// the errors they raise.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace host {

struct HistoryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The file is not a sound SQLite database: its integrity check failed or it is none at all.
struct HistoryDamaged : HistoryError {
    using HistoryError::HistoryError;
};

// A new file's pages: a round's row rewrites a kilobyte or two of the table and its index, not
// four times that. A file made with larger pages keeps them.
constexpr int kPageSize = 1024;
// The rollback journal stays in place between transactions (its header cleared, no file made
// and removed each time) and is cut back to at most this many bytes.
constexpr long kJournalSizeLimit = 256 * 1024;

struct StatementDeleter {
    void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

class Database {
public:
    // A reader never writes: it neither creates the file nor changes its journal, so that a
    // listing works beside the host that writes it, and on a read-only file system.
    enum class Access { ReadWrite, ReadOnly };

    // Opens or creates the file (":memory:" for one that lives in memory only), checks it and
    // sets its journal up. Throws HistoryDamaged for a damaged file, HistoryError for anything
    // else, such as a file or folder that may not be written.
    explicit Database(const std::string &path, Access access = Access::ReadWrite);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // Creates what `schema` lacks, then runs `prepare` (which prepares the statements of the
    // tables' user); an error in either names the file.
    void set_up(const char *schema, const std::function<void()> &prepare);
    Statement prepare(const char *sql);
    void execute(const char *sql);
    // Steps a statement that returns no rows, then readies it for the next use.
    void step_done(sqlite3_stmt *s, const char *what);
    // Every row of `s`, in order, then readies it for the next use; `what` names the reading in
    // an error.
    void each_row(sqlite3_stmt *s, const char *what,
                  const std::function<void(sqlite3_stmt *)> &row);
    void for_each_row(const char *sql, const char *what,
                      const std::function<void(sqlite3_stmt *)> &row);
    // All of `work` or, when it throws HistoryError, none of it.
    void atomically(const std::function<void()> &work);
    // All of `work` or none of it, in a transaction left open for more until commit(): many
    // rows reach the file together, and this connection reads them before they do.
    void batched(const std::function<void()> &work);
    // Ends the open transaction, if any. Throws HistoryError; the transaction is still open
    // (and the commit tried again later) when another program's reading held it up, and gone
    // with its rows when the file refused them (batch_open() tells which).
    void commit();
    bool batch_open() const { return open_batch; }
    // The row number of the last row inserted.
    int64_t last_row() const { return sqlite3_last_insert_rowid(db); }
    [[noreturn]] void fail(const char *what);

    bool read_only() const { return access == Access::ReadOnly; }

private:
    void open_file();
    void check_integrity();
    void leave_write_ahead_mode();
    void set_journal();

    sqlite3 *db = nullptr;
    std::string path;
    Access access;
    bool open_batch = false;
};

std::string column_text(sqlite3_stmt *s, int column);
std::string column_bytes(sqlite3_stmt *s, int column);

// Renames a damaged file (and its journal files) to PATH.damaged-TIME; returns the new name.
// Throws HistoryError.
std::string move_aside(const std::string &path);

} // namespace host
