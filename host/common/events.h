// What the polling core tells as it happens, and who listens.
//
// The per-device state machine (core/) never writes to an output: it tells an event to every
// observer registered with the program's `Events`, in the order they were registered. The
// terminal, the history recorder and the MQTT publisher are such observers; adding an output
// is writing one more and registering it in main. Parts other than the core tell through the
// same hub what only they can see (a line that saturates, a history that cannot store).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

// An alarm raised or cleared, as the driver reported it.
struct AlarmRecord {
    int64_t row = 0; // the history's row, 0 before storing
    uint32_t data_id = 0;
    std::string time; // local time, "YYYY-MM-DD HH:MM:SS"
    std::string signal_id;
    bool raised = false;
    std::string text;
    std::string detail;
};

// A control request, whatever became of it: where it came from ("command line", "mqtt"), what it
// asked and its outcome ("answered", "not answered", "refused", "busy") with the reason.
struct RequestRecord {
    int64_t row = 0;
    uint32_t data_id = 0;
    std::string time;
    std::string source;
    std::string kind; // "set" or "control"
    std::string request_id;
    std::string request;
    std::string outcome;
    std::string reason;
    bool reached = false; // its command went out to the device
};

// What a completed round cost on the line: the time from its first command to the published
// block, and the bytes sent and received.
struct RoundCost {
    unsigned round = 0;
    unsigned commands = 0;
    double elapsed_ms = 0.0;
    unsigned long sent_bytes = 0;
    unsigned long received_bytes = 0;
};

struct DecodedBlock;

// A round completed: the block the device published and, read once by the core, its records
// (nullptr when the block could not be read: `unreadable` says why, and the core has told it).
// Valid during the call only.
struct RoundCompleted {
    uint32_t data_id = 0;
    const unsigned char *block = nullptr;
    size_t length = 0;
    const DecodedBlock *decoded = nullptr;
    std::string unreadable;
    RoundCost cost;
};

// The device asks for its block to be kept as history (at the end of every round).
struct BlockToKeep {
    uint32_t data_id = 0;
    const unsigned char *block = nullptr;
    size_t length = 0;
};

struct CommunicationChanged {
    uint32_t data_id = 0;
    bool lost = false; // false: re-established
    std::string cause; // lost: why the last exchange failed
};

// A round that did not complete, and why: one of kRoundFailureReasons (a short key, fit for a
// metric's label).
struct RoundFailed {
    uint32_t data_id = 0;
    std::string reason;
};
inline constexpr const char *kRoundFailureReasons[] = {"incomplete", "no_command", "no_reply",
                                                       "open", "port_error"};

// Communication came back, and what answers is not the power system that was there: another
// number of modules, AC inputs, battery groups or branches, or other parameters (a pseudo-
// terminal's number reused, a USB adapter renumbered after a reset).
struct PlantChanged {
    uint32_t data_id = 0;
    std::string port;
    std::string difference; // "3 modules before, 6 now"
};
// "a different power system answers at /dev/ttyUSB0: 3 modules before, 6 now"
inline std::string plant_changed_text(const PlantChanged &c) {
    return "a different power system answers at " + c.port + ": " + c.difference;
}
// The signal under which the history keeps it, among the alarm transitions.
constexpr const char *kPlantChangedSignal = "plant-changed";

// A reply frame the protocol layer threw away, by the fault's name ("bad CHKSUM").
struct FrameDropped {
    uint32_t data_id = 0;
    std::string fault;
};

// A device gave the line back after holding it for `held_s`.
struct LineTurn {
    std::string line;
    double held_s = 0.0;
};

// A one-shot value query answered: the value, or the error that came instead.
struct ValueRead {
    uint32_t data_id = 0;
    std::string name;
    std::optional<float> value;
    std::string error;
};

// A control request ended. `on_line` tells whether it reached the device's turn on the line;
// then the driver's figures follow: what the command call returned, the status query's answer
// and whether a command went out.
struct RequestConcluded {
    RequestRecord request;
    bool on_line = false;
    int result = 0;
    int32_t status = 0;
    bool sent = false;
};

// A shared line that cannot keep up with its devices' intervals, or keeps up again.
struct LineLoad {
    std::string line;
    size_t devices = 0;
    double needed_s = 0.0; // the last turn of every device, added up
    double interval_s = 0.0;
    bool saturated = false;
};

// The history cannot store (full or read-only disk), or stores again after `lost` records.
struct HistoryTrouble {
    bool failing = false;
    std::string what;
    unsigned long lost = 0;
};

class Observer {
public:
    virtual ~Observer() = default;
    virtual void round_completed(const RoundCompleted &) {}
    // True when the block was kept.
    virtual bool keep_block(const BlockToKeep &) { return false; }
    virtual void alarm_changed(const AlarmRecord &) {}
    virtual void communication_changed(const CommunicationChanged &) {}
    virtual void value_read(const ValueRead &) {}
    virtual void request_concluded(const RequestConcluded &) {}
    virtual void line_load_changed(const LineLoad &) {}
    virtual void history_trouble(const HistoryTrouble &) {}
    virtual void round_failed(const RoundFailed &) {}
    virtual void frame_dropped(const FrameDropped &) {}
    virtual void plant_changed(const PlantChanged &) {}
    virtual void line_turn(const LineTurn &) {}
};

// The hub every event goes through.
class Events {
public:
    void listen(Observer &observer) { observers.push_back(&observer); }

    template <class Event> void tell(void (Observer::*method)(const Event &), const Event &e) {
        for (Observer *o : observers)
            (o->*method)(e);
    }
    // True when any observer kept it.
    bool keep_block(const BlockToKeep &block) {
        bool kept = false;
        for (Observer *o : observers)
            kept = o->keep_block(block) || kept;
        return kept;
    }

private:
    std::vector<Observer *> observers;
};

} // namespace host
