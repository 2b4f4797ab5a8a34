// The power system as the controller sees it on the line: command bytes go in, in whatever
// pieces they arrive; what the power system puts on the line comes out as chunks, each with
// the pause before it.
//
// Each group's data flag byte (INFO[0] of every reply) carries bit 4 after a status change and
// bit 0 after an alarm change. Reading the group's status reply clears bit 4, its alarm reply
// bit 0. The DC distribution group has no status query: its status changes (charge mode,
// parameters) set bit 4, and its alarm reply clears both bits.
#pragma once

#include "hostlib/frame_codec.h"
#include "protocol/codes.h"
#include "sim/chunk.h"
#include "sim/faults.h"
#include "sim/plant.h"
#include "sim/scenario.h"
#include "sim/wire.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace sim {

struct Config {
    uint8_t address = 1;
    uint64_t seed = 1;
    double drift = 1.0; // scale of the round-to-round wander; 0 freezes the readings
    Layout layout;
    std::vector<FaultRule> faults;
    Scenario scenario;
    std::vector<std::string> fill; // reading names (globs allowed) sent as blank fill
    unsigned baud = 9600;          // line rate for paced replies
    unsigned max_rounds = 0;       // the command that would start the round after it is
                                   // not answered and finished() turns true; 0: no limit
};

class Simulator {
public:
    using Chunk = sim::Chunk;
    enum Group { kAc, kRectifier, kDc };
    static constexpr uint8_t kStatusChanged = protocol::data_flag::kStatusChanged;
    static constexpr uint8_t kAlarmChanged = protocol::data_flag::kAlarmChanged;

    explicit Simulator(Config config = {});

    std::vector<Chunk> on_bytes(const uint8_t *data, size_t len);
    std::vector<Chunk> on_bytes(const std::string &bytes);

    // Fires the time events due `since_start` after start.
    void advance_to(std::chrono::milliseconds since_start);
    // Forgets a half-received command (a new client on the line).
    void drop_partial() { receiver = frame::Receiver(); }
    // Carries an event out now; false when it names something the plant does not have.
    bool apply(const Event &event);
    void add_fault(const FaultRule &rule) { faults.add(rule); }
    // After the plant was changed from outside: settle it and flag what changed.
    void changed();

    Plant &plant() { return plant_; }
    const Plant &plant() const { return plant_; }
    uint8_t data_flag(Group g) const { return groups[g].flag; }
    unsigned round() const { return round_; }
    bool finished() const { return finished_; }
    const std::vector<std::string> &fill() const { return config.fill; }
    void set_log(std::ostream *out) { log = out; }

private:
    struct Command {
        uint8_t ver, adr, cid1, cid2;
        std::vector<uint8_t> info;
        std::string wire; // as received, SOI to EOI
    };
    struct Reply {
        uint8_t rtn = 0;
        Info info;
    };
    struct CommandInfo;
    struct GroupState {
        uint8_t flag = 0;
        std::vector<uint8_t> status, alarms; // what the last look saw
    };

    static const CommandInfo *find_command(uint8_t cid1, uint8_t cid2);

    std::vector<Chunk> on_frame(const frame::Receiver &rx);
    std::vector<Chunk> on_bad_frame(FrameFault fault);
    std::vector<Chunk> handle(const Command &cmd);
    Reply execute(const Command &cmd);
    std::vector<Chunk> emit(const Command &cmd, const Reply &reply,
                            const std::vector<FaultRule> &struck);
    void start_round();
    void update_flags();
    bool fills(const std::string &name) const;
    void note(const std::string &line) const;

    Reply ac_analogue(const Command &);
    Reply ac_status(const Command &);
    Reply ac_alarms(const Command &);
    Reply rc_analogue(const Command &);
    Reply rc_status(const Command &);
    Reply rc_alarms(const Command &);
    Reply rc_control(const Command &);
    Reply dc_analogue(const Command &);
    Reply dc_alarms(const Command &);
    Reply dc_parameters(const Command &);
    Reply dc_set_parameter(const Command &);

    Config config;
    Plant plant_;
    Rng drift_rng;
    FaultPlan faults;
    frame::Receiver receiver;
    std::string incoming; // the frame being received, as its bytes came
    std::array<GroupState, 3> groups;
    unsigned round_ = 0;
    bool finished_ = false;
    std::ostream *log = nullptr;
};

} // namespace sim
