// kern_timecache.h                                                -*-C++-*-
//
// 'TimeCache': the per-thread cached wall-clock time.  A read reuses the last
// reading until the cache is marked stale or the reuse limit (reads per
// reading) is reached.  The limit is 1 (every read reads the clock) except
// while a kernel loop runs on the thread: the loop raises it and marks the
// cache stale after every 'select', so the time is read once per pass.
//
// Thread safety: each thread has its own cache.
#ifndef INCLUDED_KERN_TIMECACHE
#define INCLUDED_KERN_TIMECACHE

#include <cstdint>

namespace kern {

struct WallTime {
    int64_t d_sec = 0;
    int32_t d_nsec = 0;
};

class TimeCache {
  public:
    // The wall-clock time, read again when stale or after 'reuseLimit' reads.
    static WallTime now();
    static void setReuseLimit(uint32_t reads);
    static uint32_t reuseLimit();
    static void markStale();
    // Clock readings made by this thread so far.
    static uint64_t numReadings();
};

}  // namespace kern

#endif
