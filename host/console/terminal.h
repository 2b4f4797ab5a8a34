// The terminal: results on the host's output (blocks, alarm transitions, answers to one-shot
// requests) as text or one JSON object per line, and what an operator must hear of on the log
// (communication lost and back, a saturated line, a history that cannot store).
#pragma once

#include "host/common/events.h"
#include "host/common/log.h"

namespace host {

class Terminal : public Observer {
public:
    Terminal(Output &out, Log &log, bool json, bool rounds = true)
        : out(out), log(log), json(json), rounds(rounds) {}

    void round_completed(const RoundCompleted &round) override;
    void alarm_changed(const AlarmRecord &alarm) override;
    void communication_changed(const CommunicationChanged &change) override;
    void value_read(const ValueRead &read) override;
    void request_concluded(const RequestConcluded &request) override;
    void line_load_changed(const LineLoad &load) override;
    void history_trouble(const HistoryTrouble &trouble) override;
    void plant_changed(const PlantChanged &change) override;

private:
    Output &out;
    Log &log;
    bool json;
    bool rounds; // a line per completed round
};

} // namespace host
