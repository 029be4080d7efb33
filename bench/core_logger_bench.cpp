// Cost of log calls: a disabled type (the mask test only) and an enabled
// type delivered to an implementation that discards the line.
#include <benchmark/benchmark.h>

#include <string>

#include "core_v2masterlogger.h"

namespace {

void BM_LogDisabledType(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        LOG_NORM("Client::handleProcessData", "Data from wrapper %d %s ", n, "payload");
        benchmark::ClobberMemory();
        ++n;
    }
}
BENCHMARK(BM_LogDisabledType);

void BM_LogEnabledTypeDiscarded(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        LOG_INFO("Client::handleProcessData", "Data from wrapper %d %s ", n, "payload");
        ++n;
    }
}
BENCHMARK(BM_LogEnabledTypeDiscarded);

void BM_LogRateLimited(benchmark::State& state) {
    for (auto _ : state) {
        LOG_RATE(5, core::LOG_WARN, "send failed %d", 10054);
    }
}
BENCHMARK(BM_LogRateLimited);

}  // namespace
