// The host's history in one SQLite file: every published device data block (the newest
// `retention` per device are kept), every alarm transition and every control request. The newest
// block of a device is what the host hands back to it at start-up. The events waiting for the
// MQTT broker are kept here too, so that a restart does not lose them.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

struct HistoryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The file is not a sound SQLite database: its integrity check failed or it is none at all.
struct HistoryDamaged : HistoryError {
    using HistoryError::HistoryError;
};

// The write-ahead log is folded into the database every this many pages and cut back to at
// most this many bytes, so that it never grows beyond a few hundred kilobytes on a small flash.
constexpr int kWalCheckpointPages = 32;
constexpr long kWalSizeLimit = 256 * 1024;

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

// An event waiting for the MQTT broker, oldest first. `dropped_before`: events that went before
// this one when the backlog overflowed.
struct QueuedEvent {
    int64_t seq = 0;
    std::string topic;
    std::string payload;
    int64_t dropped_before = 0;
};

// A control request, whatever became of it: where it came from ("command line", "mqtt"), what it
// asked and its outcome ("answered", "not answered", "refused", "busy") with the reason.
struct RequestRecord {
    int64_t row = 0;
    uint32_t data_id = 0;
    std::string time;
    std::string source;
    std::string kind; // "set" or "control"
    std::string request_id;
    std::string request;
    std::string outcome;
    std::string reason;
};

class History {
public:
    // Opens or creates the file and checks it. Throws HistoryDamaged for a damaged file,
    // HistoryError for anything else.
    History(const std::string &path, unsigned retention);
    ~History();
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    void store_block(uint32_t data_id, const std::string &time, const unsigned char *data,
                     size_t len);
    void store_alarm(const AlarmRecord &alarm);
    std::optional<StoredBlock> newest_block(uint32_t data_id);
    void store_request(const RequestRecord &request);
    void for_each_request(const std::function<void(const RequestRecord &)> &visit);

    // The MQTT event backlog. Queuing beyond `limit` events drops the oldest and returns how
    // many went; their count is carried by the oldest event kept.
    unsigned long queue_event(const std::string &topic, const std::string &payload,
                              unsigned long limit);
    std::vector<QueuedEvent> queued_events(int64_t after_seq, unsigned count);
    void event_delivered(int64_t seq);
    // In the order they were stored.
    void for_each_block(const std::function<void(const StoredBlock &)> &visit);
    void for_each_alarm(const std::function<void(const AlarmRecord &)> &visit);

private:
    struct StatementDeleter {
        void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
    };
    using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

    Statement prepare(const char *sql);
    void for_each_row(const char *sql, const char *what,
                      const std::function<void(sqlite3_stmt *)> &row);
    void execute(const char *sql);
    void check_integrity(const std::string &path);
    void step_done(sqlite3_stmt *s, const char *what);
    [[noreturn]] void fail(const char *what);
    void release();

    sqlite3 *db = nullptr;
    unsigned retention;
    Statement insert_block, trim_blocks, insert_alarm, trim_alarms, select_newest;
    Statement insert_event, select_events, delete_event;
};

// The current local time as the history stores it.
std::string local_time_text();

// Renames a damaged history file (and its journal files) to PATH.damaged-TIME; returns the new
// name. Throws HistoryError.
std::string move_aside(const std::string &path);

} // namespace host
