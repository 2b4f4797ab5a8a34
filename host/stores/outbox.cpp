#include "host/stores/outbox.h"

namespace host {
namespace {

const char *const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS mqtt_outbox (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    topic TEXT NOT NULL,
    payload TEXT NOT NULL,
    dropped_before INTEGER NOT NULL DEFAULT 0);
)sql";

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

} // namespace

Outbox::Outbox(const std::string &path) : Outbox(std::make_shared<Database>(path)) {}

Outbox::Outbox(std::shared_ptr<Database> database) : db(std::move(database)) {
    db->set_up(kSchema, [this] {
        insert_event = db->prepare("INSERT INTO mqtt_outbox (topic, payload) VALUES (?, ?)");
        select_events = db->prepare("SELECT seq, topic, payload, dropped_before FROM mqtt_outbox "
                                    "WHERE seq > ? ORDER BY seq LIMIT ?");
        delete_event = db->prepare("DELETE FROM mqtt_outbox WHERE seq = ?");
    });
}

unsigned long Outbox::queue_event(const std::string &topic, const std::string &payload,
                                  unsigned long limit) {
    unsigned long dropped = 0;
    db->batched([&] {
        sqlite3_bind_text(insert_event.get(), 1, topic.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert_event.get(), 2, payload.c_str(), -1, SQLITE_TRANSIENT);
        db->step_done(insert_event.get(), "queue event");
        dropped = drop_beyond(limit);
    });
    db->commit();
    return dropped;
}

unsigned long Outbox::size() {
    Statement count = db->prepare("SELECT COUNT(*) FROM mqtt_outbox");
    if (sqlite3_step(count.get()) != SQLITE_ROW)
        db->fail("count events");
    return static_cast<unsigned long>(sqlite3_column_int64(count.get(), 0));
}

unsigned long Outbox::drop_beyond(unsigned long limit) {
    Statement count = db->prepare(kOverflowCount);
    sqlite3_bind_int64(count.get(), 1, static_cast<sqlite3_int64>(limit));
    if (sqlite3_step(count.get()) != SQLITE_ROW)
        db->fail("count overflow");
    const int64_t dropped = sqlite3_column_int64(count.get(), 0);
    const int64_t carried = sqlite3_column_int64(count.get(), 1);
    if (dropped > 0) {
        Statement gone = db->prepare(kOverflowDelete);
        sqlite3_bind_int64(gone.get(), 1, static_cast<sqlite3_int64>(limit));
        db->step_done(gone.get(), "drop events");
        Statement carry = db->prepare(kOverflowCarry);
        sqlite3_bind_int64(carry.get(), 1, carried);
        db->step_done(carry.get(), "count dropped events");
    }
    return static_cast<unsigned long>(dropped);
}

std::vector<QueuedEvent> Outbox::queued_events(int64_t after_seq, unsigned count) {
    sqlite3_stmt *s = select_events.get();
    sqlite3_bind_int64(s, 1, after_seq);
    sqlite3_bind_int64(s, 2, count);
    std::vector<QueuedEvent> events;
    db->each_row(s, "read queued events", [&](sqlite3_stmt *r) {
        events.push_back({sqlite3_column_int64(r, 0), column_text(r, 1), column_text(r, 2),
                          sqlite3_column_int64(r, 3)});
    });
    return events;
}

// Forgotten with the next commit: a crash before it sends the event again, with its seq.
void Outbox::event_delivered(int64_t seq) {
    db->batched([&] {
        sqlite3_bind_int64(delete_event.get(), 1, seq);
        db->step_done(delete_event.get(), "forget delivered event");
    });
}

} // namespace host
