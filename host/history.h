// The host's history in one SQLite file: every published device data block (the newest
// `retention` per device are kept) and every alarm transition. The newest block of a device is
// what the host hands back to it at start-up.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace host {

struct HistoryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct StoredBlock {
    int64_t row = 0;
    uint32_t data_id = 0;
    std::string time; // local time of storing, "YYYY-MM-DD HH:MM:SS"
    std::string bytes;
};

struct AlarmRecord {
    int64_t row = 0;
    uint32_t data_id = 0;
    std::string time;
    std::string signal_id;
    bool raised = false;
    std::string text;
    std::string detail;
};

class History {
public:
    // Opens or creates the file. Throws HistoryError.
    History(const std::string &path, unsigned retention);
    ~History();
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    void store_block(uint32_t data_id, const std::string &time, const unsigned char *data,
                     size_t len);
    void store_alarm(const AlarmRecord &alarm);
    std::optional<StoredBlock> newest_block(uint32_t data_id);
    // In the order they were stored.
    void for_each_block(const std::function<void(const StoredBlock &)> &visit);
    void for_each_alarm(const std::function<void(const AlarmRecord &)> &visit);

private:
    struct StatementDeleter {
        void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
    };
    using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

    Statement prepare(const char *sql);
    void execute(const char *sql);
    void step_done(sqlite3_stmt *s, const char *what);
    [[noreturn]] void fail(const char *what);
    void release();

    sqlite3 *db = nullptr;
    unsigned retention;
    Statement insert_block, trim_blocks, insert_alarm, trim_alarms, select_newest;
};

// The current local time as the history stores it.
std::string local_time_text();

} // namespace host
