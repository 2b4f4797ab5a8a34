// What the HTTP side shows, kept as the events come: per device the last completed round, the
// active alarms, the communication state, the round and frame counters and the recent rounds'
// DC voltage and load current; per line the time its devices held it. Scrapes and page loads
// read it and never reach into the polling core.
#pragma once

#include "host/block/plant_shape.h"
#include "host/common/device_config.h"
#include "host/common/events.h"
#include "host/json/documents.h"

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace host {

// One round on the plot: its time (seconds since the epoch), its two readings and whether an
// alarm was active once the round's alarms were in.
struct PlotPoint {
    double time = 0.0;
    double dc_voltage = 0.0;
    double load_current = 0.0;
    bool alarm = false;
};

struct DeviceState {
    enum class Link { Waiting, Up, Lost };
    uint32_t data_id = 0;
    std::string name; // the configuration's, for people; may be empty
    Link link = Link::Waiting;
    std::string cause;                     // why it was lost
    double link_since = 0.0;               // seconds since the epoch `link` has held
    std::optional<DecodedBlock> block;     // the last completed round; none while lost
    std::optional<PlantShape> shape;       // of the last block; kept while lost
    std::optional<StateDocument> document; // its state document (none before the first round)
    ActiveAlarms alarms;
    // What it can raise: the driver's alarms its configuration leaves on, and whether the host's
    // module alarms are on (one per module of `shape`).
    std::vector<std::string> driver_alarms;
    bool module_alarms = true;
    double last_round = 0.0; // seconds since the epoch; 0: none yet
    unsigned long rounds = 0;
    std::map<std::string, unsigned long> failed;  // by reason, each there from the start
    std::map<std::string, unsigned long> dropped; // by frame fault, each there from the start
    std::deque<PlotPoint> recent;
};

class SiteState : public Observer {
public:
    using Clock = std::chrono::steady_clock;
    // The rounds held for the plot: this long back, and at most this many per device.
    static constexpr double kRecentSpan = 4 * 3600.0;
    static constexpr size_t kRecentRounds = 2880;
    // The window a line's busy ratio is taken over.
    static constexpr double kBusyWindow = 60.0;

    explicit SiteState(const std::vector<uint32_t> &data_ids);

    const std::vector<DeviceState> &devices() const { return all; }
    const DeviceState *device(uint32_t data_id) const;
    void set_name(uint32_t data_id, const std::string &name);
    // The alarms the device's configuration lets it raise (see DeviceState).
    void set_alarms(const DeviceConfig &config);
    // Share of the last minute (or of the time since the line's first turn) some device held
    // the line, by line.
    std::map<std::string, double> busy_ratios(Clock::time_point now = Clock::now()) const;

    // A round from before the start (out of the history), oldest first, for the plot.
    void recall(uint32_t data_id, const PlotPoint &point);

    void round_completed(const RoundCompleted &round) override;
    void alarm_changed(const AlarmRecord &alarm) override;
    void communication_changed(const CommunicationChanged &change) override;
    void round_failed(const RoundFailed &failure) override;
    void frame_dropped(const FrameDropped &drop) override;
    void line_turn(const LineTurn &turn) override;

private:
    struct Turn {
        Clock::time_point end;
        double held_s;
    };
    struct LineUse {
        Clock::time_point first;
        std::deque<Turn> turns;
    };

    DeviceState *find(uint32_t data_id);

    std::vector<DeviceState> all;
    std::map<std::string, LineUse> lines;
};

// Seconds since the epoch, now.
double epoch_seconds();

} // namespace host
