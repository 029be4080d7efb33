// kern_timerqueue.h                                               -*-C++-*-
//
// 'TimerPriorityQueue': the thread's timer manager.  Timers of period 0
// ("zero timers") live in a list and fire on every loop pass; all others live
// in a binary min-heap on their next expiry.  Every timer is periodic; a
// timer that could not fire for several periods fires once and is then due
// one period after that pass's clock reading.  Killing a heap timer only
// marks its entry dead; dead entries are trimmed after a firing pass that
// leaves more than 10 of them, or at insertion when the heap is full.
//
// The clock is the monotonic millisecond tick count; tests may install their
// own with 'setClock'.
//
// Thread safety: the thread that owns the kernel only ('setClock' excepted).
#ifndef INCLUDED_KERN_TIMERQUEUE
#define INCLUDED_KERN_TIMERQUEUE

#include <cstdint>
#include <string>
#include <vector>

#include "kern_timers.h"

namespace kern {

// A monotonic time or a period, in seconds and nanoseconds.
struct TimerTime {
    int32_t d_sec = 0;
    int32_t d_nsec = 0;

    static TimerTime fromMs(int64_t ms);
    int64_t toMs() const { return int64_t(d_sec) * 1000 + d_nsec / 1000000; }
    TimerTime operator+(const TimerTime& other) const;
    bool operator<(const TimerTime& other) const {
        return d_sec < other.d_sec || (d_sec == other.d_sec && d_nsec < other.d_nsec);
    }
    bool operator==(const TimerTime&) const = default;
};

class TimerPriorityQueue : public TimerManager {
  public:
    // Heap entries beyond which an insertion must trim or abort, and the dead
    // entries a trim at insertion needs.
    static constexpr int k_MAX_HEAP = 10000;
    static constexpr int k_MIN_DEAD_TO_TRIM = 1000;
    // A firing pass that leaves more dead entries than this trims the heap.
    static constexpr int k_TRIM_AFTER_PASS = 10;

    struct ZeroEntry {
        int64_t d_id;
        TimerInterface* d_owner;
    };
    struct HeapEntry {
        int64_t d_id;
        TimerTime d_period;
        TimerInterface* d_owner;
        TimerTime d_next;
    };
    struct Statistics {
        int64_t d_created_ms = 0;
        int64_t d_process_calls = 0;
        int64_t d_process_zero_calls = 0;
        int64_t d_zero_fired = 0;
        int64_t d_heap_fired = 0;
        int64_t d_zero_added = 0;
        int64_t d_heap_added = 0;
        int64_t d_max_zero = 0;
        int64_t d_max_heap = 0;
    };

    // The clock in milliseconds; null restores the tick count.  Process-wide.
    using Clock = int64_t (*)();
    static void setClock(Clock clock);
    static TimerTime now();

    // CREATORS
    TimerPriorityQueue();
    ~TimerPriorityQueue() override;

    // TimerManager
    void printHeap(int logType) override;
    void printStatistics(std::string* out) override;
    int64_t insertTimer(int ms, TimerInterface* owner) override;
    int removeAllTimers(TimerInterface* owner) override;
    void removeTimer(int64_t id, TimerInterface* owner) override;
    int countTimers(const TimerInterface* owner) const override;

    // MANIPULATORS
    // Fires the zero list (if not empty), then every due heap timer.
    void processTimers();
    // Fires every live zero-list entry.
    void processZeroTimers();
    // Removes the dead heap entries and rebuilds the heap.
    void trimHeap();
    // Logs the live timers grouped by class and period (INFO).
    void printQSummary();
    // Logs CRIT lines for live timers left behind; answers how many.  The
    // destructor calls it when the check level is above 1.
    int reportLeftTimers();
    // Verifies ids and the dead count; failures are failed checks.
    bool checkIntegrity();
    // For tests of id exhaustion: the next id is 'lastId' + 1.
    void setLastId(int64_t lastId) { d_last_id = lastId; }

    // ACCESSORS
    bool zeroListEmpty() const { return d_zero.empty(); }
    bool heapEmpty() const { return d_heap.empty(); }
    // The next expiry of the heap's top entry; the heap must not be empty.
    TimerTime earliestExpiry() const { return d_heap.front().d_next; }
    int heapSize() const { return static_cast<int>(d_heap.size()); }
    int zeroListSize() const { return static_cast<int>(d_zero.size()); }
    int deadCount() const { return d_dead; }
    int64_t lastId() const { return d_last_id; }
    const Statistics& statistics() const { return d_stats; }
    const std::vector<HeapEntry>& heap() const { return d_heap; }

  private:
    void dispatch(TimerInterface* owner, int64_t id);
    void siftUp(size_t index);
    void siftDown(size_t index);
    void popTop();
    // Keys and counts of the live timers (zero timers keyed "<class>" +
    // 'zeroSuffix'); sorted by key.
    std::vector<std::pair<std::string, int>> groupLive(const char* zeroSuffix, int* numZero,
                                                       int* numHeap) const;

    int64_t d_last_id = 0;
    std::vector<ZeroEntry> d_zero;
    std::vector<HeapEntry> d_heap;
    HeapEntry d_current{};
    int d_dead = 0;
    Statistics d_stats;
};

}  // namespace kern

#endif
