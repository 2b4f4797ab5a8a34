// The simulator's random numbers. Its own generator and distributions rather than <random>'s,
// whose distributions differ between standard libraries: a seed must give the same readings
// and the same faults on every build.
#pragma once

#include <cmath>
#include <cstdint>

namespace sim {

class Rng {
public:
    explicit Rng(uint64_t seed) : state(seed) {}

    // splitmix64: small, fast, and good enough for jitter and fault dice.
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // Uniform in [0, n); 0 when n is 0.
    unsigned below(unsigned n) { return n ? static_cast<unsigned>(next() % n) : 0; }
    bool chance(double p) { return uniform() < p; }
    // Bell-shaped, mean 0, standard deviation 1 (sum of four uniforms, rescaled).
    double jitter() {
        const double sum = uniform() + uniform() + uniform() + uniform();
        return (sum - 2.0) * std::sqrt(3.0);
    }

private:
    uint64_t state;
};

} // namespace sim
