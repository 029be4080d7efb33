#include "kern_timerqueue.h"

#include <absl/container/flat_hash_set.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "core_assert.h"
#include "core_check.h"
#include "core_stacktrace.h"
#include "core_v2masterlogger.h"
#include "platform/core_platform.h"

namespace kern {

namespace {

constexpr int32_t k_NS_PER_SEC = 1000000000;
constexpr int32_t k_NS_PER_MS = 1000000;

std::atomic<TimerPriorityQueue::Clock> s_clock{nullptr};

const char* const k_INSERT_TAG = "kern::TimerPriorityQueue::insertTimer";

[[noreturn]] void abortNow() {
    LOG_CRIT(k_INSERT_TAG, "aborting NOW!");
    core::StackTrace::stopProcess();
}

std::string ownerClass(const TimerInterface* owner) {
    return owner ? owner->className() : std::string("null");
}

}  // namespace

// TimerTime

TimerTime TimerTime::fromMs(int64_t ms) {
    TimerTime t;
    t.d_sec = static_cast<int32_t>(ms / 1000);
    t.d_nsec = static_cast<int32_t>(ms % 1000) * k_NS_PER_MS;
    return t;
}

TimerTime TimerTime::operator+(const TimerTime& other) const {
    TimerTime t;
    t.d_sec = d_sec + other.d_sec;
    t.d_nsec = d_nsec + other.d_nsec;
    if (t.d_nsec >= k_NS_PER_SEC) {
        t.d_nsec -= k_NS_PER_SEC;
        ++t.d_sec;
    }
    return t;
}

// TimerPriorityQueue

void TimerPriorityQueue::setClock(Clock clock) {
    s_clock.store(clock);
}

TimerTime TimerPriorityQueue::now() {
    const Clock clock = s_clock.load(std::memory_order_relaxed);
    return TimerTime::fromMs(clock ? clock() : core::tickCountMs());
}

TimerPriorityQueue::TimerPriorityQueue() {
    d_stats.d_created_ms = now().toMs();
}

TimerPriorityQueue::~TimerPriorityQueue() {
    if (core::Assert::checkLevel() > 1) {
        reportLeftTimers();
    }
}

void TimerPriorityQueue::dispatch(TimerInterface* owner, int64_t id) {
    if (owner->handleTimeout(id)) {
        return;
    }
    CHECKF(false, "unhandled timer %p:%s (%d)", owner, owner->className(), id);
    removeTimer(id, owner);
}

int64_t TimerPriorityQueue::insertTimer(int ms, TimerInterface* owner) {
    if (!CHECKF(ms >= 0, "%p:%s %d", owner, ownerClass(owner), ms)) {
        return 0;
    }
    // Ids are never reused; the step is done without signed overflow.
    d_last_id = static_cast<int64_t>(static_cast<uint64_t>(d_last_id) + 1);
    if (!CHECKF(d_last_id > 0, "!! TIMERS HAVE WRAPPED - aborting !")) {
        abortNow();
    }
    const int64_t id = d_last_id;
    if (ms == 0) {
        d_zero.push_back(ZeroEntry{id, owner});
        ++d_stats.d_zero_added;
        d_stats.d_max_zero = std::max<int64_t>(d_stats.d_max_zero, d_zero.size());
        return id;
    }
    if (d_heap.size() >= static_cast<size_t>(k_MAX_HEAP)) {
        LOG_CRIT(k_INSERT_TAG, "MAX TIMERS REACHED");
        LOG_CRIT(k_INSERT_TAG, " - triggered by '%s'", ownerClass(owner));
        if (d_dead < k_MIN_DEAD_TO_TRIM) {
            printQSummary();
            if (!CHECKF(false, "!! MAX TIMERS REACHED - aborting (%d)", heapSize())) {
                abortNow();
            }
        }
        LOG_CRIT(k_INSERT_TAG, " - %d of %d are empty, trimming heap", d_dead, heapSize());
        trimHeap();
        if (core::Assert::checkLevel() >= 1) {
            CHECKF_AS(checkIntegrity(), "checkIntegrity()");
        }
    }
    const TimerTime period = TimerTime::fromMs(ms);
    d_heap.push_back(HeapEntry{id, period, owner, now() + period});
    siftUp(d_heap.size() - 1);
    ++d_stats.d_heap_added;
    d_stats.d_max_heap = std::max<int64_t>(d_stats.d_max_heap, d_heap.size());
    return id;
}

void TimerPriorityQueue::removeTimer(int64_t id, TimerInterface* owner) {
    if (id != 0 && id == d_current.d_id) {
        if (CHECKF(owner == d_current.d_owner, "%d: owner %p is not %p", id, owner,
                   d_current.d_owner)) {
            d_current.d_id = 0;
            d_current.d_owner = nullptr;
        }
        return;
    }
    for (ZeroEntry& entry : d_zero) {
        if (entry.d_id == id && id != 0) {
            if (CHECKF(entry.d_owner == owner, "%d: owner %p is not %p", id, owner,
                       entry.d_owner)) {
                entry.d_id = 0;
                entry.d_owner = nullptr;
            }
            return;
        }
    }
    for (HeapEntry& entry : d_heap) {
        if (entry.d_id == id && id != 0) {
            if (CHECKF(entry.d_owner == owner, "%d: owner %p is not %p", id, owner,
                       entry.d_owner)) {
                entry.d_id = 0;
                entry.d_owner = nullptr;
                ++d_dead;
            }
            return;
        }
    }
    CHECKF(false, "timer does not exist (%d)", id);
}

int TimerPriorityQueue::removeAllTimers(TimerInterface* owner) {
    int removed = 0;
    if (d_current.d_id != 0 && d_current.d_owner == owner) {
        d_current.d_id = 0;
        d_current.d_owner = nullptr;
        ++removed;
    }
    for (ZeroEntry& entry : d_zero) {
        if (entry.d_owner == owner && entry.d_id != 0) {
            entry.d_id = 0;
            entry.d_owner = nullptr;
            ++removed;
        }
    }
    for (HeapEntry& entry : d_heap) {
        if (entry.d_owner == owner && entry.d_id != 0) {
            entry.d_id = 0;
            entry.d_owner = nullptr;
            ++d_dead;
            ++removed;
        }
    }
    return removed;
}

int TimerPriorityQueue::countTimers(const TimerInterface* owner) const {
    int count = d_current.d_id != 0 && d_current.d_owner == owner ? 1 : 0;
    for (const ZeroEntry& entry : d_zero) {
        count += entry.d_id != 0 && entry.d_owner == owner;
    }
    for (const HeapEntry& entry : d_heap) {
        count += entry.d_id != 0 && entry.d_owner == owner;
    }
    return count;
}

void TimerPriorityQueue::processZeroTimers() {
    ++d_stats.d_process_zero_calls;
    bool compact = false;
    // Callbacks may append (not fired before the next pass) and kill (only
    // clears an entry), so indices stay valid.
    for (size_t i = d_zero.size(); i-- > 0;) {
        const ZeroEntry entry = d_zero[i];
        if (!entry.d_owner) {
            // Killed from outside its own callback: compact it away too, or
            // the list would never empty and the loop would never wait.
            compact = true;
            continue;
        }
        ++d_stats.d_zero_fired;
        dispatch(entry.d_owner, entry.d_id);
        if (d_zero[i].d_id == 0) {
            compact = true;
        }
    }
    if (compact) {
        d_zero.erase(std::remove_if(d_zero.begin(), d_zero.end(),
                                    [](const ZeroEntry& e) { return e.d_id == 0; }),
                     d_zero.end());
    }
}

void TimerPriorityQueue::processTimers() {
    ++d_stats.d_process_calls;
    if (!d_zero.empty()) {
        processZeroTimers();
    }
    if (!d_heap.empty()) {
        const TimerTime clock = now();
        while (!d_heap.empty() && !(clock < d_heap.front().d_next)) {
            d_current = d_heap.front();
            popTop();
            if (!d_current.d_owner) {
                --d_dead;
                d_current = HeapEntry{};
                continue;
            }
            ++d_stats.d_heap_fired;
            dispatch(d_current.d_owner, d_current.d_id);
            if (d_current.d_id == 0) {
                d_current = HeapEntry{};
                continue;
            }
            d_current.d_next = d_current.d_next + d_current.d_period;
            if (d_current.d_next < clock) {
                d_current.d_next = clock + d_current.d_period;
            }
            d_heap.push_back(d_current);
            siftUp(d_heap.size() - 1);
            d_current = HeapEntry{};
        }
    }
    if (d_dead > k_TRIM_AFTER_PASS) {
        trimHeap();
    }
}

void TimerPriorityQueue::siftUp(size_t index) {
    HeapEntry entry = d_heap[index];
    while (index > 0) {
        const size_t parent = (index - 1) / 2;
        if (!(entry.d_next < d_heap[parent].d_next)) {
            break;
        }
        d_heap[index] = d_heap[parent];
        index = parent;
    }
    d_heap[index] = entry;
}

void TimerPriorityQueue::siftDown(size_t index) {
    const size_t size = d_heap.size();
    HeapEntry entry = d_heap[index];
    while (true) {
        size_t child = 2 * index + 1;
        if (child >= size) {
            break;
        }
        if (child + 1 < size && d_heap[child + 1].d_next < d_heap[child].d_next) {
            ++child;
        }
        if (!(d_heap[child].d_next < entry.d_next)) {
            break;
        }
        d_heap[index] = d_heap[child];
        index = child;
    }
    d_heap[index] = entry;
}

void TimerPriorityQueue::popTop() {
    d_heap.front() = d_heap.back();
    d_heap.pop_back();
    if (!d_heap.empty()) {
        siftDown(0);
    }
}

void TimerPriorityQueue::trimHeap() {
    d_heap.erase(std::remove_if(d_heap.begin(), d_heap.end(),
                                [](const HeapEntry& e) { return e.d_owner == nullptr; }),
                 d_heap.end());
    for (size_t i = d_heap.size() / 2; i-- > 0;) {
        siftDown(i);
    }
    d_dead = 0;
}

bool TimerPriorityQueue::checkIntegrity() {
    absl::flat_hash_set<int64_t> seen;
    bool ok = true;
    auto checkEntry = [&](int64_t id, const TimerInterface* owner) {
        if (owner) {
            ok = CHECKF(id > 0, "%d", id) && ok;
            ok = CHECKF(seen.insert(id).second, "duplicate id %d", id) && ok;
        } else {
            ok = CHECKF(id == 0, "%d", id) && ok;
        }
    };
    for (const ZeroEntry& entry : d_zero) {
        checkEntry(entry.d_id, entry.d_owner);
    }
    int dead = 0;
    for (const HeapEntry& entry : d_heap) {
        checkEntry(entry.d_id, entry.d_owner);
        dead += entry.d_owner == nullptr;
    }
    ok = CHECKF(dead == d_dead, "%d != %d", dead, d_dead) && ok;
    return ok;
}

std::vector<std::pair<std::string, int>> TimerPriorityQueue::groupLive(const char* zeroSuffix,
                                                                       int* numZero,
                                                                       int* numHeap) const {
    std::map<std::string, int> groups;
    *numZero = 0;
    *numHeap = 0;
    for (const ZeroEntry& entry : d_zero) {
        if (entry.d_owner) {
            ++groups[entry.d_owner->className() + zeroSuffix];
            ++*numZero;
        }
    }
    for (const HeapEntry& entry : d_heap) {
        if (entry.d_owner) {
            ++groups[core::strFormat("%s:%dms", entry.d_owner->className(), entry.d_period.toMs())];
            ++*numHeap;
        }
    }
    return {groups.begin(), groups.end()};
}

void TimerPriorityQueue::printQSummary() {
    const char* const tag = "kern::TimerPriorityQueue::printQSummary";
    int numZero = 0;
    int numHeap = 0;
    const auto groups = groupLive(":<ZERO>", &numZero, &numHeap);
    LOG_INFO(tag, "%u timers (heap size = %d)", static_cast<unsigned>(numZero + numHeap),
             heapSize());
    for (const auto& [key, count] : groups) {
        LOG_INFO(tag, " - %d x %s", count, key);
    }
}

int TimerPriorityQueue::reportLeftTimers() {
    const char* const tag = "kern::TimerPriorityQueue::~TimerPriorityQueue";
    int numZero = 0;
    int numHeap = 0;
    const auto groups = groupLive(":ZERO", &numZero, &numHeap);
    if (numZero + numHeap == 0) {
        return 0;
    }
    LOG_CRIT(tag, "timers are still running, zero=%d, heap=%d", numZero, numHeap);
    for (const auto& [key, count] : groups) {
        LOG_CRIT(tag, " - %s = %d", key, count);
    }
    return numZero + numHeap;
}

void TimerPriorityQueue::printHeap(int logType) {
    if (!core::isLogEnabled(logType)) {
        return;
    }
    const char* const tag = "kern::TimerPriorityQueue::printHeap";
    for (const HeapEntry& entry : d_heap) {
        const std::string detail = core::strFormat(
            "(%s) id=%d, timeout=%ldms, next=%ld:%.9ld", ownerClass(entry.d_owner), entry.d_id,
            entry.d_period.toMs(), entry.d_next.d_sec, entry.d_next.d_nsec);
        core::MasterLogger::logf(logType, tag, "  STD_TIMER%s", detail);
    }
    for (const ZeroEntry& entry : d_zero) {
        const std::string detail =
            core::strFormat("(%s) id=%d", ownerClass(entry.d_owner), entry.d_id);
        core::MasterLogger::logf(logType, tag, "  ZERO_TIMER%s", detail);
    }
}

void TimerPriorityQueue::printStatistics(std::string* out) {
    const double seconds =
        std::max<double>(1e-3, static_cast<double>(now().toMs() - d_stats.d_created_ms) / 1000);
    auto perCall = [](int64_t fired, int64_t calls) {
        return calls > 0 ? static_cast<double>(fired) / static_cast<double>(calls) : 0.0;
    };
    core::strAppendFormat(*out,
                          "<TABLE BORDER=1><CAPTION>TimerPriorityQueue</CAPTION>\n"
                          "<TR><TH></TH><TH>Max</TH><TH>Added</TH><TH>Calls</TH>"
                          "<TH>Calls/sec</TH><TH>Calls/proc</TH></TR>\n");
    core::strAppendFormat(
        *out, "<TR><TD>Zero</TD><TD>%d</TD><TD>%d</TD><TD>%d</TD><TD>%.2f</TD><TD>%.2g</TD></TR>\n",
        d_stats.d_max_zero, d_stats.d_zero_added, d_stats.d_zero_fired,
        static_cast<double>(d_stats.d_zero_fired) / seconds,
        perCall(d_stats.d_zero_fired, d_stats.d_process_zero_calls));
    core::strAppendFormat(
        *out, "<TR><TD>Heap</TD><TD>%d</TD><TD>%d</TD><TD>%d</TD><TD>%.2f</TD><TD>%.2g</TD></TR>\n",
        d_stats.d_max_heap, d_stats.d_heap_added, d_stats.d_heap_fired,
        static_cast<double>(d_stats.d_heap_fired) / seconds,
        perCall(d_stats.d_heap_fired, d_stats.d_process_calls));
    *out += "</TABLE>\n<BR>\n";

    std::map<std::string, int> zeroGroups;
    int numZero = 0;
    for (const ZeroEntry& entry : d_zero) {
        if (entry.d_owner) {
            ++zeroGroups[entry.d_owner->className()];
            ++numZero;
        }
    }
    core::strAppendFormat(*out,
                          "<TABLE BORDER=1><CAPTION>Zero timers (%d)</CAPTION>\n"
                          "<TR><TH>Class</TH><TH>Count</TH></TR>\n",
                          numZero);
    for (const auto& [name, count] : zeroGroups) {
        core::strAppendFormat(*out, "<TR><TD>%s</TD><TD>%d</TD></TR>\n", name, count);
    }
    *out += "</TABLE>\n<BR>\n";

    std::map<std::pair<std::string, int64_t>, int> heapGroups;
    int numHeap = 0;
    for (const HeapEntry& entry : d_heap) {
        if (entry.d_owner) {
            ++heapGroups[{entry.d_owner->className(), entry.d_period.toMs()}];
            ++numHeap;
        }
    }
    core::strAppendFormat(*out,
                          "<TABLE BORDER=1><CAPTION>Heap timers (%d)</CAPTION>\n"
                          "<TR><TH>Class</TH><TH>Timeout</TH><TH>Count</TH></TR>\n",
                          numHeap);
    for (const auto& [key, count] : heapGroups) {
        core::strAppendFormat(*out, "<TR><TD>%s</TD><TD>%dms</TD><TD>%d</TD></TR>\n", key.first,
                              key.second, count);
    }
    *out += "</TABLE>\n";
}

}  // namespace kern
