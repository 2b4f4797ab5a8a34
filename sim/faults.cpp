#include "sim/faults.h"

#include "hostlib/frame_codec.h"
#include "protocol/codes.h"
#include "sim/parse.h"
#include "sim/wire.h"

#include <algorithm>
#include <stdexcept>

namespace sim {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr unsigned kBitsPerByte = 10; // start bit, eight data bits, stop bit

struct KindInfo {
    const char *name;
    FaultKind kind;
    unsigned amount;
    milliseconds delay;
};

// Defaults per kind: a CHKSUM error is what a power system says when the command arrived
// garbled; a pace of 0 baud means the line's own rate.
const KindInfo kKinds[] = {
    {"checksum", FaultKind::Checksum, 0, milliseconds(0)},
    {"lchecksum", FaultKind::LengthChecksum, 0, milliseconds(0)},
    {"group", FaultKind::WrongGroup, 0, milliseconds(0)},
    {"rtn", FaultKind::ReturnCode, protocol::rtn::kChecksumError, milliseconds(0)},
    {"silence", FaultKind::Silence, 0, milliseconds(0)},
    {"truncate", FaultKind::Truncate, 0, milliseconds(0)},
    {"noise", FaultKind::Noise, 6, milliseconds(0)},
    {"split", FaultKind::Split, 3, milliseconds(20)},
    {"echo", FaultKind::Echo, 0, milliseconds(0)},
    {"slow", FaultKind::Slow, 0, milliseconds(400)},
    {"pace", FaultKind::Pace, 0, milliseconds(0)},
    {"babble", FaultKind::Babble, 0, milliseconds(2000)},
};

std::vector<unsigned> parse_rounds(const std::string &text) {
    std::vector<unsigned> rounds;
    for (const auto &item : split_list(text, ',')) {
        const auto dash = item.find('-');
        const auto first = to_unsigned(item.substr(0, dash), 1, 1000000, "fault rounds");
        const auto last = dash == std::string::npos ? first
                                                    : to_unsigned(item.substr(dash + 1), first,
                                                                  first + 100000, "fault rounds");
        for (auto r = first; r <= last; ++r)
            rounds.push_back(static_cast<unsigned>(r));
    }
    return rounds;
}

void parse_command(FaultRule &rule, const std::string &text) {
    if (text.size() != 4)
        throw std::invalid_argument("fault cmd: expected CID1 and CID2 as four hex digits");
    rule.cid1 = static_cast<int>(to_unsigned(text.substr(0, 2), 0, 255, "fault cmd", 16));
    rule.cid2 = static_cast<int>(to_unsigned(text.substr(2), 0, 255, "fault cmd", 16));
}

struct KeyInfo {
    const char *key;
    int only_for; // a FaultKind, or -1 for every kind
    void (*apply)(FaultRule &, const std::string &);
};

constexpr int kAny = -1;
constexpr int only(FaultKind k) {
    return static_cast<int>(k);
}

const KeyInfo kKeys[] = {
    {"rate", kAny,
     [](FaultRule &s, const std::string &v) { s.rate = to_double(v, 0.0, 1.0, "fault rate"); }},
    {"rounds", kAny, [](FaultRule &s, const std::string &v) { s.rounds = parse_rounds(v); }},
    {"cmd", kAny, parse_command},
    {"code", only(FaultKind::ReturnCode),
     [](FaultRule &s, const std::string &v) {
         s.amount = static_cast<unsigned>(to_unsigned(v, 1, 255, "rtn code", 0));
     }},
    {"pieces", only(FaultKind::Split),
     [](FaultRule &s, const std::string &v) {
         s.amount = static_cast<unsigned>(to_unsigned(v, 2, 64, "split pieces"));
     }},
    {"gap", only(FaultKind::Split),
     [](FaultRule &s, const std::string &v) {
         s.delay = milliseconds(to_unsigned(v, 0, 60000, "split gap"));
     }},
    {"bytes", only(FaultKind::Noise),
     [](FaultRule &s, const std::string &v) {
         s.amount = static_cast<unsigned>(to_unsigned(v, 1, 4096, "noise bytes"));
     }},
    {"ms", only(FaultKind::Slow),
     [](FaultRule &s, const std::string &v) {
         s.delay = milliseconds(to_unsigned(v, 0, 60000, "slow ms"));
     }},
    {"ms", only(FaultKind::Babble),
     [](FaultRule &s, const std::string &v) {
         s.delay = milliseconds(to_unsigned(v, 1, 600000, "babble ms"));
     }},
    {"baud", only(FaultKind::Pace),
     [](FaultRule &s, const std::string &v) {
         s.amount = static_cast<unsigned>(to_unsigned(v, 50, 4000000, "pace baud"));
     }},
};

const KindInfo &kind_info(FaultKind kind) {
    for (const auto &k : kKinds)
        if (k.kind == kind)
            return k;
    throw std::logic_error("fault kind without a table entry");
}

} // namespace

const char *fault_name(FaultKind kind) {
    return kind_info(kind).name;
}

FaultRule parse_fault(const std::string &text) {
    const auto parts = split_list(text, ':');
    auto kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                             [&](const KindInfo &k) { return parts[0] == k.name; });
    if (kind == std::end(kKinds))
        throw std::invalid_argument("unknown fault \"" + parts[0] + "\"");
    FaultRule rule;
    rule.kind = kind->kind;
    rule.amount = kind->amount;
    rule.delay = kind->delay;
    for (size_t i = 1; i < parts.size(); ++i) {
        const auto eq = parts[i].find('=');
        const std::string key = parts[i].substr(0, eq);
        auto k = std::find_if(std::begin(kKeys), std::end(kKeys), [&](const KeyInfo &e) {
            return key == e.key && (e.only_for == kAny || e.only_for == only(rule.kind));
        });
        if (eq == std::string::npos || k == std::end(kKeys))
            throw std::invalid_argument("fault " + parts[0] + ": unknown setting \"" + parts[i] +
                                        "\"");
        k->apply(rule, parts[i].substr(eq + 1));
    }
    if (rule.rate == 0.0 && rule.rounds.empty())
        rule.rate = 1.0;
    return rule;
}

FaultPlan::FaultPlan(std::vector<FaultRule> rules, uint64_t seed)
    : rules(std::move(rules)), rng(seed) {}

std::vector<FaultRule> FaultPlan::draw(unsigned round, uint8_t cid1, uint8_t cid2) {
    std::vector<FaultRule> struck;
    for (const auto &s : rules) {
        if ((s.cid1 >= 0 && s.cid1 != cid1) || (s.cid2 >= 0 && s.cid2 != cid2))
            continue;
        const bool in_round = std::find(s.rounds.begin(), s.rounds.end(), round) != s.rounds.end();
        // Draw only for rated faults, so adding a round-bound fault leaves the dice alone.
        const bool by_chance = s.rate > 0.0 && rng.chance(s.rate);
        if ((in_round || by_chance) && !struck_by(struck, s.kind))
            struck.push_back(s);
    }
    return struck;
}

std::optional<FaultRule> struck_by(const std::vector<FaultRule> &struck, FaultKind kind) {
    for (const auto &s : struck)
        if (s.kind == kind)
            return s;
    return std::nullopt;
}

void break_checksum(std::string &frame) {
    if (frame.size() < 6)
        return;
    // The last CHKSUM digit, moved on by one.
    char &digit = frame[frame.size() - 2];
    static const char kHex[] = "0123456789ABCDEF";
    const char *at = std::find(kHex, kHex + 16, digit);
    digit = kHex[(at - kHex + 1) % 16];
}

void break_length_checksum(std::string &frame) {
    constexpr size_t kLengthChecksumAt = 9; // SOI, VER ADR CID1 CID2
    if (frame.size() <= kLengthChecksumAt)
        return;
    char &nibble = frame[kLengthChecksumAt];
    nibble = nibble == 'F' ? '0' : nibble == '9' ? 'A' : static_cast<char>(nibble + 1);
    reseal(frame);
}

void truncate(std::string &frame, Rng &rng) {
    if (frame.size() < 3)
        return;
    // Keep SOI and at least one character; lose at least the EOI.
    const size_t keep = 2 + rng.below(static_cast<unsigned>(frame.size() - 2));
    frame.resize(keep);
}

std::string noise(Rng &rng, unsigned n) {
    std::string out;
    while (out.size() < n) {
        const auto b = static_cast<uint8_t>(rng.next() & 0xFF);
        if (b != frame::kSOI)
            out.push_back(static_cast<char>(b));
    }
    return out;
}

Chunks split(const std::string &bytes, unsigned pieces, microseconds gap) {
    Chunks out;
    const size_t n = std::max<size_t>(1, std::min<size_t>(pieces, bytes.size()));
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t end = bytes.size() * (i + 1) / n;
        out.push_back({bytes.substr(start, end - start), i == 0 ? microseconds(0) : gap});
        start = end;
    }
    return out;
}

microseconds byte_time(unsigned baud) {
    return microseconds(baud ? (kBitsPerByte * 1000000 + baud - 1) / baud : 0);
}

Chunks pace(const Chunks &chunks, unsigned baud) {
    Chunks out;
    const microseconds each = byte_time(baud);
    for (const auto &c : chunks)
        for (size_t i = 0; i < c.bytes.size(); ++i)
            out.push_back(
                {c.bytes.substr(i, 1), each + (i == 0 ? c.delay_before : microseconds(0))});
    return out;
}

Chunks babble(Rng &rng, unsigned baud, microseconds duration) {
    constexpr microseconds kPiece(10000);
    const microseconds each = byte_time(baud ? baud : 9600);
    const auto per_piece = static_cast<unsigned>(std::max<long long>(1, kPiece / each));
    Chunks out;
    for (microseconds sent(0); sent < duration; sent += per_piece * each)
        out.push_back({noise(rng, per_piece), per_piece * each});
    return out;
}

} // namespace sim
