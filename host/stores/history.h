// The host's history in one SQLite file: every published device data block (the newest
// `retention` per device are kept), every alarm transition and every control request. The newest
// block of a device is what the host hands back to it at start-up. The events waiting for the
// MQTT broker are kept in the same file, on the same connection (host/stores/outbox.h).
#pragma once

#include "host/common/clock_text.h"
#include "host/common/events.h"
#include "host/stores/database.h"
#include "host/stores/history_filter.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace host {

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
    // Everything of the device older than its newest `retention` rows goes.
    void trim(sqlite3_stmt *s, uint32_t data_id, const char *what);
    void for_each_selected(const char *table, const char *columns, const HistoryFilter &which,
                           const std::function<void(sqlite3_stmt *)> &row);

    std::shared_ptr<Database> db; // declared first, so that the statements go before it
    unsigned retention;
    Statement insert_block, trim_blocks, insert_alarm, trim_alarms, select_newest;
};

} // namespace host
