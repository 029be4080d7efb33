#include "kern_timecache.h"

#include <chrono>

namespace kern {

namespace {

struct Cache {
    WallTime d_time;
    uint32_t d_reads = 0;
    uint32_t d_limit = 1;
    bool d_stale = true;
    uint64_t d_readings = 0;
};

thread_local Cache t_cache;

}  // namespace

WallTime TimeCache::now() {
    Cache& c = t_cache;
    if (c.d_stale || c.d_reads >= c.d_limit) {
        const auto since = std::chrono::system_clock::now().time_since_epoch();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
        c.d_time.d_sec = ns / 1000000000;
        c.d_time.d_nsec = static_cast<int32_t>(ns % 1000000000);
        c.d_reads = 0;
        c.d_stale = false;
        ++c.d_readings;
    }
    ++c.d_reads;
    return c.d_time;
}

void TimeCache::setReuseLimit(uint32_t reads) {
    t_cache.d_limit = reads == 0 ? 1 : reads;
}

uint32_t TimeCache::reuseLimit() {
    return t_cache.d_limit;
}

void TimeCache::markStale() {
    t_cache.d_stale = true;
}

uint64_t TimeCache::numReadings() {
    return t_cache.d_readings;
}

}  // namespace kern
