// Line and device faults the simulator can put into its replies, each selectable on its own,
// striking at a rate (chance per reply, from a seeded generator) or in chosen rounds.
#pragma once

#include "sim/chunk.h"
#include "sim/rng.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class FaultKind : uint8_t {
    Checksum,       // CHKSUM off by one
    LengthChecksum, // LCHKSUM nibble wrong (CHKSUM resealed, so only LENGTH is bad)
    WrongGroup,     // the reply names another group in CID1
    ReturnCode,     // an error RTN and no INFO instead of the answer
    Silence,        // no reply at all: the command is not carried out
    Truncate,       // the reply stops somewhere before its EOI
    Noise,          // stray bytes before SOI
    Split,          // the reply comes in several writes with pauses between them
    Echo,           // the command comes back first, as from an echoing RS-485 adapter
    Slow,           // a long pause before the reply
    Pace,           // every byte takes its wire time (10 bits at the line's baud rate)
    Babble,         // no reply, but stray bytes for a while, as from a node that will not stop
};

struct FaultRule {
    FaultKind kind = FaultKind::Checksum;
    double rate = 0.0;                  // chance per reply
    std::vector<unsigned> rounds;       // strikes every reply of these rounds
    int cid1 = -1, cid2 = -1;           // only replies to this command; -1 any
    unsigned amount = 0;                // RTN code, pieces, noise bytes or baud rate, by kind
    std::chrono::microseconds delay{0}; // gap between pieces, or the slow reply's pause
};

// Parses "KIND[:key=value]...". Kinds: checksum lchecksum group rtn silence truncate noise
// split echo slow pace babble. Keys: rate=P, rounds=3,5,8-10, cmd=4143 (CID1 CID2 in hex), and
// by kind code=N (rtn), pieces=N and gap=MS (split), bytes=N (noise), ms=MS (slow, babble),
// baud=N (pace). Without rate and rounds a fault strikes every reply. Throws std::invalid_argument.
FaultRule parse_fault(const std::string &text);
const char *fault_name(FaultKind kind);

// Decides, reply by reply, which faults strike.
class FaultPlan {
public:
    FaultPlan(std::vector<FaultRule> rules, uint64_t seed);

    // The faults striking the reply to (cid1, cid2) in `round`, at most one per kind.
    std::vector<FaultRule> draw(unsigned round, uint8_t cid1, uint8_t cid2);
    void add(const FaultRule &rule) { rules.push_back(rule); }
    bool empty() const { return rules.empty(); }
    // The generator for the distortions themselves (cut points, noise bytes).
    Rng &dice() { return rng; }

private:
    std::vector<FaultRule> rules;
    Rng rng;
};

// The rule of `kind` among `struck`, if any.
std::optional<FaultRule> struck_by(const std::vector<FaultRule> &struck, FaultKind kind);

// Distortions of a whole encoded frame (SOI ... EOI).
void break_checksum(std::string &frame);
void break_length_checksum(std::string &frame);
void truncate(std::string &frame, Rng &rng); // keeps SOI and at least one character
std::string noise(Rng &rng, unsigned n);     // never contains SOI

// Cuts `bytes` into `pieces` parts, the second and later after `gap`.
Chunks split(const std::string &bytes, unsigned pieces, std::chrono::microseconds gap);
// One chunk per byte, each after its wire time at `baud`; a chunk's own pause stays before
// its first byte.
Chunks pace(const Chunks &chunks, unsigned baud);
std::chrono::microseconds byte_time(unsigned baud);
// Stray bytes (never SOI) at the line's rate for `duration`, in pieces of a few milliseconds.
Chunks babble(Rng &rng, unsigned baud, std::chrono::microseconds duration);

} // namespace sim
