// The host's history in one SQLite file: every published device data block (the newest
// `retention` per device are kept), every alarm transition and every control request. The newest
// block of a device is what the host hands back to it at start-up. The events waiting for the
// MQTT broker are kept in the same file, on the same connection (host/stores/outbox.h).
//
// A flash wears with what is written, so blocks reach the file in batches: they wait in an open
// transaction (which this connection reads) until the oldest has waited `commit_interval`, and
// a crash loses at most that. Alarm transitions and requests are committed as they happen, with
// whatever blocks wait; a stop commits too. A device's oldest blocks go in bulk, once it holds a
// sixteenth more than its retention. A small table of spans (the times each run of up to
// kSpanRows of a device's rows covers) bounds the rows a selection by time reads.
#pragma once

#include "host/common/clock_text.h"
#include "host/common/events.h"
#include "host/stores/database.h"
#include "host/stores/history_filter.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace host {

// How long a block may wait for its commit by default; a batch never holds more rows than the
// second figure.
constexpr std::chrono::seconds kDefaultCommitInterval{300};
constexpr unsigned kLargestBatch = 256;
constexpr unsigned kSpanRows = 64;

// Requests refused before they reached their device (malformed, unconfirmed, the device busy or
// away) kept per device beside the `retention` that reached it.
constexpr unsigned kRefusedRequestsKept = 1000;

struct StoredBlock {
    int64_t row = 0;
    uint32_t data_id = 0;
    std::string time; // local time of storing, "YYYY-MM-DD HH:MM:SS"
    std::string bytes;
};

class History {
public:
    // Opens or creates the file and checks it. Throws HistoryDamaged for a damaged file,
    // HistoryError for anything else.
    History(const std::string &path, unsigned retention);
    // Opens an existing file to read only: it is neither created nor changed.
    static History for_reading(const std::string &path);
    // Keeps the history in a file already open.
    History(std::shared_ptr<Database> database, unsigned retention);
    // Commits what waits; a failure then is lost with the rows (commit() first to hear of it).
    ~History();
    History(History &&) = default;

    // 0: every block committed as it comes.
    void set_commit_interval(std::chrono::steady_clock::duration interval) {
        commit_interval = interval;
    }
    // The waiting rows into the file, trimmed. Throws HistoryError (the rows wait on when only
    // another program's reading held the commit up, and are lost when the file refused them).
    void commit();
    // commit() when the oldest waiting block has waited its interval.
    void commit_if_due();
    // Rows the failures since the last call lost: the one a failed write did not store, or
    // every waiting one when the file refused their commit.
    unsigned long take_rows_lost() { return std::exchange(rows_lost, 0); }

    void store_block(uint32_t data_id, const std::string &time, const unsigned char *data,
                     size_t len);
    void store_alarm(const AlarmRecord &alarm);
    std::optional<StoredBlock> newest_block(uint32_t data_id);
    void store_request(const RequestRecord &request);
    // The rows `which` selects, in the order they were stored.
    void for_each_request(const HistoryFilter &which,
                          const std::function<void(const RequestRecord &)> &visit);
    void for_each_block(const HistoryFilter &which,
                        const std::function<void(const StoredBlock &)> &visit);
    // A selection of blocks made fixed, to be read in pages: the newest N and the span of times
    // become bounds on the row, and rows stored later are left out.
    HistoryFilter pinned_blocks(const HistoryFilter &which);
    // When the newest N of `which` left older rows out of `pinned`: the row before which they
    // are, for a next `before_row`.
    std::optional<int64_t> older_than_pinned(const HistoryFilter &which,
                                             const HistoryFilter &pinned);
    // At most `most` rows of a pinned selection, oldest first.
    std::vector<StoredBlock> block_page(const HistoryFilter &pinned, unsigned most);
    void for_each_alarm(const HistoryFilter &which,
                        const std::function<void(const AlarmRecord &)> &visit);
    // Every row.
    void for_each_request(const std::function<void(const RequestRecord &)> &visit) {
        for_each_request({}, visit);
    }
    void for_each_block(const std::function<void(const StoredBlock &)> &visit) {
        for_each_block({}, visit);
    }
    void for_each_alarm(const std::function<void(const AlarmRecord &)> &visit) {
        for_each_alarm({}, visit);
    }

    // The connection, for what else keeps its tables in the history's file.
    const std::shared_ptr<Database> &database() const { return db; }

private:
    // What the history knows of a device's blocks without asking the file.
    struct DeviceRows {
        int64_t count = 0;
        int64_t span_first = 0; // the first row of the span being filled; 0: none
        unsigned span_rows = 0;
    };
    using Clock = std::chrono::steady_clock;

    DeviceRows &rows_of(uint32_t data_id);
    void note_in_span(uint32_t data_id, DeviceRows &rows, int64_t row, const std::string &time);
    void trim_blocks(uint32_t data_id, DeviceRows &rows);
    void forget_waiting();
    // Runs a write of one row (or none) and keeps count of what a failure loses.
    template <class Write> void write_row(bool one_row, Write &&write);
    void trim(sqlite3_stmt *s, uint32_t data_id, const char *what);
    void for_each_selected(const char *table, const char *columns, const HistoryFilter &which,
                           const std::function<void(sqlite3_stmt *)> &row);
    std::optional<int64_t> newest_row_at_or_above(const HistoryFilter &which);

    std::shared_ptr<Database> db; // declared first, so that the statements go before it
    unsigned retention;
    bool has_spans = false;
    std::map<uint32_t, DeviceRows> devices;
    Clock::duration commit_interval = kDefaultCommitInterval;
    std::optional<Clock::time_point> waiting_since;
    unsigned waiting_rows = 0;
    unsigned long rows_lost = 0;
    Statement insert_block, count_blocks, trim_oldest, trim_spans, note_span, insert_alarm,
        trim_alarms, select_newest;
};

} // namespace host
