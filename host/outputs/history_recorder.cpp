#include "host/outputs/history_recorder.h"

#include "host/common/clock_text.h"

namespace host {

template <class Store> bool HistoryRecorder::store(Store &&write) {
    try {
        write();
    } catch (const HistoryError &e) {
        ++lost;
        if (!failing) {
            failing = true;
            events.tell(&Observer::history_trouble, HistoryTrouble{true, e.what(), lost});
        }
        return false;
    }
    if (failing) {
        failing = false;
        events.tell(&Observer::history_trouble, HistoryTrouble{false, "", lost});
        lost = 0;
    }
    return true;
}

bool HistoryRecorder::keep_block(const BlockToKeep &b) {
    return store([&] { history.store_block(b.data_id, local_time_text(), b.block, b.length); });
}

void HistoryRecorder::alarm_changed(const AlarmRecord &alarm) {
    store([&] { history.store_alarm(alarm); });
}

void HistoryRecorder::request_concluded(const RequestConcluded &r) {
    store([&] { history.store_request(r.request); });
}

} // namespace host
