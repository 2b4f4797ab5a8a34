// What the driver costs per reply and per round, and how many heap allocations a steady round
// makes. The driver's diagnostic lines go to /dev/null; the results to the real stdout.
#include "bench/bench_support.h"
#include "mpx23/test_view.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

// Every heap allocation of the process is counted. (gcc takes the replaced operator new for the
// built-in one and warns that free() does not match it.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<unsigned long> allocations{0};
}

void *operator new(size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) {
    return operator new(n);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}

namespace {

using Decoder = int (MPX23::*)(const unsigned char *, int);

// Each decoder on the reply it reads, on a device whose lists are sized.
void BM_Decoder(benchmark::State &state, Decoder decoder, bench::Bytes bench::Plant::*reply,
                int offset) {
    bench::QuietHost host;
    MPX23 dev;
    bench::prepare(dev, 0);
    const bench::Plant plant(0);
    const bench::Bytes &info = plant.*reply;
    const int len = static_cast<int>(info.size()) - offset;
    for (auto _ : state)
        benchmark::DoNotOptimize((dev.*decoder)(info.data() + offset, len));
}
BENCHMARK_CAPTURE(BM_Decoder, parse40_42, MPX23TestView::kParse40_42, &bench::Plant::ac_analogue,
                  2);
BENCHMARK_CAPTURE(BM_Decoder, parse40_43, MPX23TestView::kParse40_43, &bench::Plant::ac_status, 2);
BENCHMARK_CAPTURE(BM_Decoder, parse40_44, MPX23TestView::kParse40_44, &bench::Plant::ac_alarms, 2);
BENCHMARK_CAPTURE(BM_Decoder, parse41_42, MPX23TestView::kParse41_42, &bench::Plant::rc_analogue,
                  0);
BENCHMARK_CAPTURE(BM_Decoder, parse41_43, MPX23TestView::kParse41_43, &bench::Plant::rc_status, 0);
BENCHMARK_CAPTURE(BM_Decoder, parse41_44, MPX23TestView::kParse41_44, &bench::Plant::rc_alarms, 0);
BENCHMARK_CAPTURE(BM_Decoder, parse42_42, MPX23TestView::kParse42_42, &bench::Plant::dc_analogue,
                  2);
BENCHMARK_CAPTURE(BM_Decoder, parse42_44, MPX23TestView::kParse42_44, &bench::Plant::dc_alarms, 2);

// A whole round through the engine: frames in, commands out, round end with the block refresh
// and (profile 2) all eight alarms evaluated and reported.
void BM_Round(benchmark::State &state, bool full, int profile) {
    bench::QuietHost host;
    MPX23 dev;
    bench::prepare(dev, profile);
    const bench::Round round = full ? bench::full_round() : bench::quiet_round();
    const unsigned long before = allocations.load();
    for (auto _ : state)
        bench::play(dev, round);
    state.counters["allocs_per_round"] = benchmark::Counter(
        static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
    state.counters["frames"] = static_cast<double>(round.frames.size());
}
BENCHMARK_CAPTURE(BM_Round, full_profile2, true, 2);
BENCHMARK_CAPTURE(BM_Round, quiet_profile0, false, 0);
BENCHMARK_CAPTURE(BM_Round, quiet_profile2, false, 2);

void BM_GetValue(benchmark::State &state, const char *name) {
    bench::QuietHost host;
    MPX23 dev;
    bench::prepare(dev, 0);
    const std::string variable = name;
    for (auto _ : state)
        benchmark::DoNotOptimize(dev.Get_Value(0, variable));
}
BENCHMARK_CAPTURE(BM_GetValue, out_v, "out_v");
BENCHMARK_CAPTURE(BM_GetValue, ac, "ac");

void BM_Control(benchmark::State &state, int code, const char *request) {
    bench::QuietHost host;
    MPX23 dev;
    bench::prepare(dev, 0);
    const std::string text = request;
    int used = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(dev.DeviceIoControl(
            code, text.data(), static_cast<int>(text.size()), nullptr, 0, used));
}
BENCHMARK_CAPTURE(BM_Control, set_parameter_310, 310,
                  R"({"signal_id": "4196A3201001", "SetValue": "53.5"})");
BENCHMARK_CAPTURE(BM_Control, remote_control_320, 320, "419500601003");

} // namespace

int main(int argc, char **argv) {
    // Keep a handle on the real stdout for the results before the driver's lines are silenced.
    const int real_stdout = dup(1);
    bench::silence_stdout();
    std::ofstream results("/proc/self/fd/" + std::to_string(real_stdout));
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter console(benchmark::ConsoleReporter::OO_Tabular); // no colour codes
    console.SetOutputStream(&results);
    console.SetErrorStream(&results);
    benchmark::RunSpecifiedBenchmarks(&console);
    benchmark::Shutdown();
    return 0;
}
