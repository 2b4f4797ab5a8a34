#include "host/stores/history_recorder.h"

#include "host/common/clock_text.h"

namespace host {

template <class Store> bool HistoryRecorder::store(Store &&write) {
    try {
        write();
    } catch (const HistoryError &e) {
        if (trouble.failed(history.take_rows_lost()))
            events.tell(&Observer::history_trouble, HistoryTrouble{true, e.what(), 1});
        return false;
    }
    if (trouble.succeeded())
        events.tell(&Observer::history_trouble, HistoryTrouble{false, "", trouble.take_lost()});
    return true;
}

bool HistoryRecorder::keep_block(const BlockToKeep &b) {
    return store([&] { history.store_block(b.data_id, local_time_text(), b.block, b.length); });
}

void HistoryRecorder::commit_due() {
    store([&] { history.commit_if_due(); });
}

void HistoryRecorder::commit_now() {
    store([&] { history.commit(); });
}

void HistoryRecorder::alarm_changed(const AlarmRecord &alarm) {
    store([&] { history.store_alarm(alarm); });
}

// Among the alarm transitions, where whoever reads why alarms cleared finds it.
void HistoryRecorder::plant_changed(const PlantChanged &c) {
    const AlarmRecord record{0,
                             c.data_id,
                             local_time_text(),
                             kPlantChangedSignal,
                             true,
                             "a different power system answers at " + c.port,
                             c.difference};
    store([&] { history.store_alarm(record); });
}

void HistoryRecorder::request_concluded(const RequestConcluded &r) {
    store([&] { history.store_request(r.request); });
}

} // namespace host
