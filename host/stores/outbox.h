// The events waiting for the MQTT broker, oldest first. They leave only when the broker has
// acknowledged them, so that they outlive a broker that is away and, kept in the history's file,
// a restart of the host. Past its bound the oldest go, and the oldest kept counts them.
#pragma once

#include "host/stores/database.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

// `dropped_before`: events that went before this one when the outbox overflowed.
struct QueuedEvent {
    int64_t seq = 0;
    std::string topic;
    std::string payload;
    int64_t dropped_before = 0;
};

class Outbox {
public:
    // Opens or creates the file (":memory:": one that a restart loses). Throws HistoryDamaged
    // for a damaged file, HistoryError for anything else.
    explicit Outbox(const std::string &path);
    // Keeps the events in a file already open (the history's).
    explicit Outbox(std::shared_ptr<Database> database);

    // Queuing beyond `limit` events drops the oldest and returns how many went; their count is
    // carried by the oldest event kept.
    unsigned long queue_event(const std::string &topic, const std::string &payload,
                              unsigned long limit);
    // After `after_seq`, in order, at most `count`.
    std::vector<QueuedEvent> queued_events(int64_t after_seq, unsigned count);
    void event_delivered(int64_t seq);
    // Events waiting now.
    unsigned long size();

private:
    unsigned long drop_beyond(unsigned long limit);

    std::shared_ptr<Database> db; // declared first, so that the statements go before it
    Statement insert_event, select_events, delete_event;
};

} // namespace host
