// core::strFormat of a typical log line against snprintf into a std::string.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "core_varargs.h"

namespace {

const std::string s_class = "Lnl_AccessEvent";

void BM_StrFormatLogLine(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        std::string line =
            core::strFormat("send %s (%d bytes) to %s:%u in %d ms, queue %zu", s_class,
                            1234 + (n & 7), "192.168.10.20", 4711u, 17, size_t{3});
        benchmark::DoNotOptimize(line);
        ++n;
    }
}
BENCHMARK(BM_StrFormatLogLine);

void BM_SnprintfLogLine(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        char buf[256];
        int len =
            std::snprintf(buf, sizeof buf, "send %s (%d bytes) to %s:%u in %d ms, queue %zu",
                          s_class.c_str(), 1234 + (n & 7), "192.168.10.20", 4711u, 17, size_t{3});
        std::string line(buf, static_cast<size_t>(len));
        benchmark::DoNotOptimize(line);
        ++n;
    }
}
BENCHMARK(BM_SnprintfLogLine);

void BM_StrFormatDuration(benchmark::State& state) {
    int64_t us = 61500000;
    for (auto _ : state) {
        std::string line = core::strFormat("took %s", core::Microseconds(us));
        benchmark::DoNotOptimize(line);
    }
}
BENCHMARK(BM_StrFormatDuration);

}  // namespace
