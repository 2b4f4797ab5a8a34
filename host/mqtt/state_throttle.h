// When a device's state goes to the broker: not every round, but when a reading moved beyond its
// deadband, when any other byte of the records changed (a state, a flag, a count, an alarm byte,
// a setting), when something the block does not show changed (an alarm raised or cleared,
// communication lost or back), and at least once a heartbeat. A round's readings are held to
// those of the last state that went out, not to the round before, so that a slow drift goes out
// once it adds up to a deadband.
//
// The deadband of a reading is the larger of an amount and a share of the value last published:
//
//   voltage             1 V or 1.5 %    (1 V of a 53 V bus, 3.45 V of 230 V mains)
//   current             1 A or 5 %      (2.05 A of a 41 A load)
//   frequency           1 Hz
//   user-defined value  1 or 5 %        (mostly temperatures: 1.25 at 25 degrees)
//
// The driver reports whole units (the hundredths of the line divided in integer arithmetic), so
// a reading that hovers about a step flips by one unit from round to round, as mains at 50.0 Hz
// read 49 and 50 by turns: a reading goes out once it moved by more than that one step.
// Times in the records (when each record was read) change every round and count for nothing.
#pragma once

#include "host/block/decoded_block.h"

#include <string>
#include <vector>

namespace host {

class StateThrottle {
public:
    // `heartbeat`: the longest time in seconds between two states that go out; 0: every round.
    explicit StateThrottle(double heartbeat = 0.0) : heartbeat(heartbeat) {}

    // Whether the state of a round with this block goes out at `now` (seconds on a steady
    // clock). When it does, its values are what later rounds are held to.
    bool offer(const DecodedBlock &block, double now);
    // A state went out without being offered (at a connection): later rounds are held to it.
    void published(const DecodedBlock &block, double now);
    // Something the block does not show changed: the next state goes out whatever its values
    // (every state does without a heartbeat).
    void force() { forced = heartbeat > 0.0; }
    bool pending() const { return forced; }

    // A reading, with the quantity that says how far it may move unpublished.
    enum class Quantity : unsigned char { Voltage, Current, Frequency, UserValue };
    struct Reading {
        Quantity quantity;
        float value;
    };
    // A block as it is compared: its readings, and every other byte of its records but the times.
    struct Values {
        std::vector<Reading> readings;
        std::string rest;
    };

private:
    bool moved() const;
    void keep_offered(double now);

    double heartbeat;
    bool forced = false;
    bool any_sent = false;
    Values sent;    // of the last state that went out
    Values offered; // of the round offered last; swapped with `sent`: a steady round allocates
                    // nothing
    double last_time = 0.0;
};

} // namespace host
