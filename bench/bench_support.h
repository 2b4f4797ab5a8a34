// Shared by the benchmark programs: a host whose services cost nothing, the reply frames of a
// two-input, three-module power system, and rounds played through the engine.
#pragma once

#include "hostlib/frame_codec.h"
#include "hostlib/host_services.h"
#include "mpx23/mpx23.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

class QuietHost : public kvo::HostServices {
public:
    QuietHost() : guard(*this) {}
    int SendData(KVOSPDevice &, const unsigned char *, unsigned len) override {
        ++commands;
        return static_cast<int>(len);
    }
    unsigned long commands = 0;

private:
    kvo::ScopedServices guard;
};

// INFO fields of each reply, as a two-input, three-module power system sends them.
struct Plant {
    Bytes parameters, ac_analogue, ac_status, ac_alarms, rc_analogue, rc_status, rc_alarms,
        dc_analogue, dc_alarms;
    explicit Plant(uint8_t flag);
};

// The wire frames of a round: the nine replies of a full round or the four of a quiet one.
struct Round {
    std::vector<std::string> frames;
    size_t wire_bytes = 0; // commands and replies
};
Round full_round();  // every data flag 0x11: status and alarm queries in every group
Round quiet_round(); // every data flag 0: four queries

// A device that has completed one round (lists sized, flags deciding).
void prepare(MPX23 &dev, int alarm_profile);

// Plays one round: RefreshStatus, then each reply frame through the engine's process().
inline void play(MPX23 &dev, const Round &round) {
    dev.RefreshStatus();
    for (const auto &f : round.frames)
        dev.process(reinterpret_cast<unsigned char *>(const_cast<char *>(f.data())),
                    static_cast<unsigned>(f.size()));
}

void silence_stdout();

} // namespace bench
