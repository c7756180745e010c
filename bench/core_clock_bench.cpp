// Sleep precision of the sleeper against std::this_thread::sleep_for, and
// the cost of a clock read against a bare clock_gettime.
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "core/clock.h"
#include "core/names.h"

namespace {

void sleep_overshoot(benchmark::State &state, bool ours)
{
    const uint64_t ns = static_cast<uint64_t>(state.range(0)) * 1000;
    CoreSleeper *sleeper = core_sleeper_create();
    double overshoot_us = 0;
    for (auto _ : state) {
        uint64_t start = core_clock_mono_ns();
        if (ours)
            core_sleeper_wait(sleeper, ns);
        else
            std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
        overshoot_us += static_cast<double>(core_clock_mono_ns() - start - ns) / 1000.0;
    }
    state.counters["overshoot_us"] = benchmark::Counter(overshoot_us, benchmark::Counter::kAvgIterations);
    core_sleeper_destroy(&sleeper);
}

void BM_SleeperWait(benchmark::State &state) { sleep_overshoot(state, true); }
void BM_StdSleepFor(benchmark::State &state) { sleep_overshoot(state, false); }
BENCHMARK(BM_SleeperWait)->Arg(1000)->Arg(5000)->Iterations(200);
BENCHMARK(BM_StdSleepFor)->Arg(1000)->Arg(5000)->Iterations(200);

void BM_MonoClock(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(core_clock_mono_ns());
}
void BM_ClockGettime(benchmark::State &state)
{
    timespec ts;
    for (auto _ : state) {
        clock_gettime(CLOCK_MONOTONIC, &ts);
        benchmark::DoNotOptimize(ts);
    }
}
BENCHMARK(BM_MonoClock)->ThreadRange(1, 4);
BENCHMARK(BM_ClockGettime)->ThreadRange(1, 4);

void BM_SeqNext(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(core_seq_next());
}
BENCHMARK(BM_SeqNext)->ThreadRange(1, 4);

}  // namespace
