// Plays a number of rounds for instruction counting under callgrind:
//   bench_rounds full|quiet ROUNDS
// Run it with 0 rounds and with N rounds; the difference divided by N is the cost of a round.
#include "bench/bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 3 || (std::strcmp(argv[1], "full") != 0 && std::strcmp(argv[1], "quiet") != 0)) {
        std::fprintf(stderr, "usage: %s full|quiet ROUNDS\n", argv[0]);
        return 2;
    }
    const bool full = std::strcmp(argv[1], "full") == 0;
    const long rounds = std::atol(argv[2]);
    bench::silence_stdout();
    bench::QuietHost host;
    MPX23 dev;
    bench::prepare(dev, full ? 2 : 0);
    const bench::Round round = full ? bench::full_round() : bench::quiet_round();
    for (long i = 0; i < rounds; ++i)
        bench::play(dev, round);
    return dev.data_ready == 1 ? 0 : 1;
}
