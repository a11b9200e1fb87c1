// Cost of nv::Timer arm and cancel with many timers pending (the argument),
// on a runner whose clock stands still so that nothing fires by accident.
#include "nv/ThinRunner.h"
#include "nv/Timer.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

struct PendingTimers {
    explicit PendingTimers(int64_t count) {
        runner.setClockForTesting([] { return uint64_t{0}; });
        timers.reserve(static_cast<size_t>(count));
        for (int64_t i = 0; i < count; ++i) timers.emplace_back(1 + random() % 100000, [] {});
    }
    nv::ThinRunner runner;
    std::mt19937 random{42};
    std::vector<nv::Timer> timers;
};

// A new timer among the pending ones, then cancelled by its destruction.
void BM_TimerArmThenCancel(benchmark::State& state) {
    PendingTimers pending(state.range(0));
    for (auto _ : state) {
        nv::Timer timer(1 + pending.random() % 100000, [] {});
        benchmark::DoNotOptimize(timer);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerArmThenCancel)->Arg(1000)->Arg(100000);

// Re-arming a pending timer picked at random: a cancel from the middle of
// the heap plus an arm, the pending count unchanged.
void BM_TimerRearmRandomPending(benchmark::State& state) {
    PendingTimers pending(state.range(0));
    size_t count = pending.timers.size();
    for (auto _ : state) {
        nv::Timer& timer = pending.timers[pending.random() % count];
        timer = nv::Timer(1 + pending.random() % 100000, [] {});
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerRearmRandomPending)->Arg(1000)->Arg(100000);

// A 0-tick timer armed and fired by one loop pass (which includes one
// epoll_wait that returns at once) while the others stay pending.
void BM_TimerZeroTickPass(benchmark::State& state) {
    PendingTimers pending(state.range(0));
    int fired = 0;
    for (auto _ : state) {
        nv::Timer timer(0, [&fired] { ++fired; });
        pending.runner.runOnce(0);
    }
    benchmark::DoNotOptimize(fired);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerZeroTickPass)->Arg(1000)->Arg(100000);

}  // namespace
