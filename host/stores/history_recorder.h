// The history recorder: every block the driver asks to keep, every alarm transition and every
// request's outcome go to the history archive. A full or read-only disk is told once (as an
// event, for the terminal and whoever else listens), and again when storing works again (see
// TroubleEpisode).
#pragma once

#include "host/common/events.h"
#include "host/stores/history.h"
#include "hostlib/trouble_episode.h"

namespace host {

class HistoryRecorder : public Observer {
public:
    HistoryRecorder(History &history, Events &events, TroubleEpisode::Now now = {})
        : history(history), events(events), trouble(std::move(now)) {}

    bool keep_block(const BlockToKeep &block) override;
    void alarm_changed(const AlarmRecord &alarm) override;
    void request_concluded(const RequestConcluded &request) override;
    void plant_changed(const PlantChanged &change) override;

    // The blocks waiting for their commit, when they have waited long enough (a timer's work:
    // rounds may have stopped) or at once (at a stop, so that a failure is told).
    void commit_due();
    void commit_now();

private:
    template <class Store> bool store(Store &&write);

    History &history;
    Events &events;
    TroubleEpisode trouble;
};

} // namespace host
