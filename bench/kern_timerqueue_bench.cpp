// Cost of the timer queue with 10000 heap timers: inserting them, firing all
// of them in one pass, and killing them by id.
#include <benchmark/benchmark.h>

#include <vector>

#include "kern_timerqueue.h"

namespace {

constexpr int k_TIMERS = 10000;

int64_t s_now_ms = 1000000;
int64_t fakeNow() {
    return s_now_ms;
}

class Owner : public kern::TimerInterface {
  public:
    bool handleTimeout(int64_t) override { return true; }
};

struct ClockGuard {
    ClockGuard() { kern::TimerPriorityQueue::setClock(&fakeNow); }
    ~ClockGuard() { kern::TimerPriorityQueue::setClock(nullptr); }
};

void BM_InsertHeapTimers(benchmark::State& state) {
    ClockGuard clock;
    Owner owner;
    for (auto _ : state) {
        state.PauseTiming();
        auto queue = std::make_unique<kern::TimerPriorityQueue>();
        state.ResumeTiming();
        for (int i = 0; i < k_TIMERS; ++i) {
            benchmark::DoNotOptimize(queue->insertTimer(1000 + (i * 7919) % 5000, &owner));
        }
        state.PauseTiming();
        queue->removeAllTimers(&owner);
        queue.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * k_TIMERS);
}
BENCHMARK(BM_InsertHeapTimers)->Unit(benchmark::kMillisecond);

void BM_FireHeapTimers(benchmark::State& state) {
    ClockGuard clock;
    Owner owner;
    kern::TimerPriorityQueue queue;
    for (int i = 0; i < k_TIMERS; ++i) {
        queue.insertTimer(1000 + (i * 7919) % 5000, &owner);
    }
    for (auto _ : state) {
        // Every timer is due once per pass; each fires and is re-armed.
        s_now_ms += 6000;
        queue.processTimers();
    }
    state.SetItemsProcessed(state.iterations() * k_TIMERS);
    queue.removeAllTimers(&owner);
}
BENCHMARK(BM_FireHeapTimers)->Unit(benchmark::kMillisecond);

void BM_KillHeapTimers(benchmark::State& state) {
    ClockGuard clock;
    Owner owner;
    std::vector<int64_t> ids(k_TIMERS);
    for (auto _ : state) {
        state.PauseTiming();
        auto queue = std::make_unique<kern::TimerPriorityQueue>();
        for (int i = 0; i < k_TIMERS; ++i) {
            ids[i] = queue->insertTimer(1000 + (i * 7919) % 5000, &owner);
        }
        state.ResumeTiming();
        // Removal is a linear search that only marks the entry dead.
        for (int i = k_TIMERS; i-- > 0;) {
            queue->removeTimer(ids[i], &owner);
        }
        queue->processTimers();  // trims the dead entries
        state.PauseTiming();
        queue.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * k_TIMERS);
}
BENCHMARK(BM_KillHeapTimers)->Unit(benchmark::kMillisecond);

}  // namespace
