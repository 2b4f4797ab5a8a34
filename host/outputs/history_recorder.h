// The history recorder: every block the driver asks to keep, every alarm transition and every
// request's outcome go to the history archive. A full or read-only disk is told once (as an
// event, for the terminal and whoever else listens), and again when storing works again.
#pragma once

#include "host/common/events.h"
#include "host/stores/history.h"

namespace host {

class HistoryRecorder : public Observer {
public:
    HistoryRecorder(History &history, Events &events) : history(history), events(events) {}

    bool keep_block(const BlockToKeep &block) override;
    void alarm_changed(const AlarmRecord &alarm) override;
    void request_concluded(const RequestConcluded &request) override;

private:
    template <class Store> bool store(Store &&write);

    History &history;
    Events &events;
    bool failing = false;
    unsigned long lost = 0; // records not stored since storing failed
};

} // namespace host
