#include "kern_timerqueue.h"

#include <gtest/gtest.h>

#include <string>

#include "kern_testutil.h"
#include "testsupport_logcapture.h"

namespace kern {
namespace {

using testutil::FailureRecorder;
using testutil::LogLines;

TEST(TimerPriorityQueue, IdsStartAtOneAndAreNeverReused) {
    FakeClock clock;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    EXPECT_EQ(TimerManager::timerManager(), &queue);
    const int64_t first = queue.insertTimer(100, &owner);
    const int64_t second = queue.insertTimer(0, &owner);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    queue.removeTimer(first, &owner);
    queue.removeTimer(second, &owner);
    EXPECT_EQ(queue.insertTimer(100, &owner), 3);
    EXPECT_EQ(queue.countTimers(&owner), 1);
    queue.removeAllTimers(&owner);
}

TEST(TimerPriorityQueue, SecondManagerOnOneThreadIsRefused) {
    testutil::FailureRecorder failures;
    TimerPriorityQueue first;
    {
        TimerPriorityQueue second;
        EXPECT_EQ(TimerManager::timerManager(), &first);
        EXPECT_EQ(testutil::FailureRecorder::failures().size(), 1u);
    }
    // Destroying the refused one leaves the registered one in place.
    EXPECT_EQ(TimerManager::timerManager(), &first);
}

// A dead entry left in the zero list would make the loop poll without
// waiting forever: a kill inside or outside the callback is compacted away.
TEST(TimerPriorityQueue, KilledZeroTimerIsCompactedAwayInsideOrOutsideItsCallback) {
    FakeClock clock;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.d_accept_all = true;
    const int64_t id = queue.insertTimer(0, &owner);
    owner.d_on_fire = [&](int64_t fired) {
        if (owner.count(fired) == 3) {
            queue.removeTimer(fired, &owner);
        }
    };
    for (int pass = 0; pass < 5; ++pass) {
        queue.processTimers();
    }
    EXPECT_EQ(owner.count(id), 3);
    EXPECT_TRUE(queue.zeroListEmpty());  // compacted after the killing pass
    EXPECT_EQ(queue.statistics().d_zero_fired, 3);

    const int64_t idle = queue.insertTimer(0, &owner);
    queue.removeTimer(idle, &owner);
    EXPECT_FALSE(queue.zeroListEmpty());
    queue.processZeroTimers();
    EXPECT_TRUE(queue.zeroListEmpty());
    EXPECT_EQ(owner.count(idle), 0);
}

TEST(TimerPriorityQueue, ZeroTimersFireLastInsertedFirst) {
    FakeClock clock;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.d_accept_all = true;
    const int64_t a = queue.insertTimer(0, &owner);
    const int64_t b = queue.insertTimer(0, &owner);
    // One armed inside a callback first fires on the next pass.
    int64_t c = 0;
    owner.d_on_fire = [&](int64_t) {
        if (c == 0) {
            c = queue.insertTimer(0, &owner);
        }
    };
    queue.processZeroTimers();
    EXPECT_EQ(owner.d_fired, (std::vector<int64_t>{b, a}));
    queue.processZeroTimers();
    EXPECT_EQ(owner.d_fired, (std::vector<int64_t>{b, a, c, b, a}));
    queue.removeAllTimers(&owner);
}

TEST(TimerPriorityQueue, HeapTimersFireInExpiryOrderAndRepeat) {
    FakeClock clock;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.d_accept_all = true;
    const int64_t slow = queue.insertTimer(300, &owner);
    const int64_t fast = queue.insertTimer(100, &owner);
    const int64_t mid = queue.insertTimer(210, &owner);
    queue.processTimers();
    EXPECT_TRUE(owner.d_fired.empty());
    clock.advance(99);
    queue.processTimers();
    EXPECT_TRUE(owner.d_fired.empty());
    clock.advance(1);
    queue.processTimers();
    EXPECT_EQ(owner.d_fired, (std::vector<int64_t>{fast}));
    clock.advance(250);  // t=350: fast (due 200, 300), mid (210), slow (300)
    queue.processTimers();
    // Expiry order; fast's missed period at 300 is skipped: due again at 450.
    EXPECT_EQ(owner.d_fired, (std::vector<int64_t>{fast, fast, mid, slow}));
    EXPECT_EQ(queue.earliestExpiry().toMs(), 1000000 + 420);  // mid
    EXPECT_TRUE(queue.checkIntegrity());
    queue.removeAllTimers(&owner);
}

TEST(TimerPriorityQueue, LateTimerKeepsItsPhaseButSkipsMissedPeriods) {
    FakeClock clock;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.d_accept_all = true;
    const int64_t phased = queue.insertTimer(100, &owner);
    clock.advance(130);  // late by 30: next stays at 200, not 230
    queue.processTimers();
    EXPECT_EQ(queue.earliestExpiry().toMs(), 1000000 + 200);
    queue.removeTimer(phased, &owner);

    const int64_t id = queue.insertTimer(1000, &owner);
    clock.advance(3500);  // the loop was blocked
    queue.processTimers();
    EXPECT_EQ(owner.count(id), 1);
    // Next due 1000 ms after this pass's reading, not at 2000 or 3000.
    EXPECT_EQ(queue.earliestExpiry().toMs(), FakeClock::now() + 1000);
    queue.processTimers();
    clock.advance(999);
    queue.processTimers();
    EXPECT_EQ(owner.count(id), 1);
    clock.advance(1);
    queue.processTimers();
    EXPECT_EQ(owner.count(id), 2);
    queue.removeAllTimers(&owner);
}

// A timer killed in its own callback is already out of the heap; one killed
// while waiting stays as a dead entry until it reaches the top.
TEST(TimerPriorityQueue, DeadEntriesAreCountedOnlyWhileInTheHeap) {
    FakeClock clock;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.d_accept_all = true;
    const int64_t id = queue.insertTimer(10, &owner);
    owner.d_on_fire = [&](int64_t fired) { queue.removeTimer(fired, &owner); };
    clock.advance(10);
    queue.processTimers();
    EXPECT_EQ(owner.count(id), 1);
    EXPECT_TRUE(queue.heapEmpty());
    EXPECT_EQ(queue.deadCount(), 0);
    EXPECT_EQ(queue.countTimers(&owner), 0);

    owner.d_on_fire = nullptr;
    const int64_t a = queue.insertTimer(10, &owner);
    queue.insertTimer(20, &owner);
    queue.removeTimer(a, &owner);
    EXPECT_EQ(queue.deadCount(), 1);
    clock.advance(15);
    queue.processTimers();
    EXPECT_EQ(queue.deadCount(), 0);
    EXPECT_EQ(queue.heapSize(), 1);
    EXPECT_EQ(owner.d_fired.size(), 1u);  // only the first timer's firing
    EXPECT_TRUE(queue.checkIntegrity());
    queue.removeAllTimers(&owner);
}

TEST(TimerPriorityQueue, ElevenDeadEntriesTrimAfterAPassTenDoNot) {
    FakeClock clock;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.d_accept_all = true;
    std::vector<int64_t> ids;
    for (int i = 0; i < 30; ++i) {
        ids.push_back(queue.insertTimer(5000 + i, &owner));
    }
    for (int i = 0; i < 10; ++i) {
        queue.removeTimer(ids[i + 10], &owner);
    }
    queue.processTimers();  // nothing due, dead entries are not at the top
    EXPECT_EQ(queue.deadCount(), 10);
    EXPECT_EQ(queue.heapSize(), 30);
    queue.removeTimer(ids[25], &owner);
    queue.processTimers();
    EXPECT_EQ(queue.deadCount(), 0);
    EXPECT_EQ(queue.heapSize(), 19);
    EXPECT_TRUE(queue.checkIntegrity());
    // The heap still fires in expiry order after the rebuild.
    clock.advance(6000);
    queue.processTimers();
    ASSERT_EQ(owner.d_fired.size(), 19u);
    EXPECT_EQ(owner.d_fired.front(), ids[0]);
    EXPECT_EQ(owner.d_fired.back(), ids[29]);
    queue.removeAllTimers(&owner);
}

TEST(TimerPriorityQueue, FullHeapWithEnoughDeadEntriesTrimsAndInserts) {
    FakeClock clock;
    testutil::LogLines log;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.d_accept_all = true;
    std::vector<int64_t> ids;
    for (int i = 0; i < TimerPriorityQueue::k_MAX_HEAP; ++i) {
        ids.push_back(queue.insertTimer(1000 + i, &owner));
    }
    for (int i = 0; i < 1000; ++i) {
        queue.removeTimer(ids[i * 10], &owner);
    }
    const int64_t id = queue.insertTimer(50, &owner);
    EXPECT_GT(id, 0);
    EXPECT_EQ(queue.heapSize(), 9001);
    EXPECT_EQ(queue.deadCount(), 0);
    EXPECT_TRUE(log.contains("kern::TimerPriorityQueue::insertTimer - MAX TIMERS REACHED"));
    EXPECT_TRUE(log.contains("1000 of 10000 are empty, trimming heap"));
    EXPECT_TRUE(log.contains("triggered by 'kern::RecordingOwner'"));
    EXPECT_EQ(queue.earliestExpiry().toMs(), FakeClock::now() + 50);
    queue.removeAllTimers(&owner);
}

TEST(TimerPriorityQueueDeathTest, FullHeapWithFewDeadEntriesAborts) {
    FakeClock clock;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.d_accept_all = true;
    for (int i = 0; i < TimerPriorityQueue::k_MAX_HEAP; ++i) {
        queue.insertTimer(1000, &owner);
    }
    for (int64_t id = 1; id <= 999; ++id) {
        queue.removeTimer(id, &owner);
    }
    // Even with failed checks not stopping, exhaustion ends the process.
    EXPECT_DEATH(
        {
            core::Assert::setStopOnFailedCheck(false);
            StderrLog log;
            queue.insertTimer(1000, &owner);
        },
        "9001 timers \\(heap size = 10000\\)(.|\n)*9001 x "
        "kern::RecordingOwner:1000ms(.|\n)*MAX TIMERS REACHED - aborting "
        "\\(10000\\)(.|\n)*aborting NOW!");
    queue.removeAllTimers(&owner);
}

TEST(TimerPriorityQueueDeathTest, IdWrapAborts) {
    TimerPriorityQueue queue;
    RecordingOwner owner;
    queue.setLastId(INT64_MAX);
    EXPECT_DEATH(queue.insertTimer(0, &owner), "TIMERS HAVE WRAPPED");
    EXPECT_DEATH(
        {
            core::Assert::setStopOnFailedCheck(false);
            StderrLog log;
            queue.insertTimer(0, &owner);
        },
        "GASSERT failed at kern_timerqueue:[0-9]+ \\(CHECKF\\) \\(!! TIMERS HAVE "
        "WRAPPED - aborting !\\)(.|\n)*aborting NOW!");
}

TEST(TimerPriorityQueue, MisuseIsReportedAndSkipped) {
    FakeClock clock;
    testutil::FailureRecorder failures;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    RecordingOwner other;
    owner.d_accept_all = true;

    EXPECT_EQ(queue.insertTimer(-1, &owner), 0);
    queue.removeTimer(77, &owner);
    const int64_t heapId = queue.insertTimer(10, &owner);
    const int64_t zeroId = queue.insertTimer(0, &owner);
    queue.removeTimer(heapId, &other);
    queue.removeTimer(zeroId, &other);
    auto messages = failures.takeMessages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_NE(messages[0].find("-1"), std::string::npos);
    EXPECT_EQ(messages[1], "timer does not exist (77)");
    // The wrong owner removes nothing.
    EXPECT_EQ(queue.countTimers(&owner), 2);
    EXPECT_EQ(queue.deadCount(), 0);
    queue.removeAllTimers(&owner);
}

TEST(TimerPriorityQueue, UnhandledTimerIsReportedAndRemoved) {
    FakeClock clock;
    testutil::FailureRecorder failures;
    TimerPriorityQueue queue;
    RecordingOwner owner;  // answers false: not one of its ids
    const int64_t heapId = queue.insertTimer(10, &owner);
    const int64_t zeroId = queue.insertTimer(0, &owner);
    clock.advance(10);
    queue.processTimers();
    queue.processTimers();
    clock.advance(10);
    queue.processTimers();
    EXPECT_EQ(owner.count(heapId), 1);
    EXPECT_EQ(owner.count(zeroId), 1);
    const auto messages = failures.takeMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[0].find(":kern::RecordingOwner (2)"), std::string::npos) << messages[0];
    EXPECT_EQ(messages[0].rfind("unhandled timer 0x", 0), 0u);
    EXPECT_TRUE(queue.heapEmpty());
    EXPECT_TRUE(queue.zeroListEmpty());
}

TEST(TimerPriorityQueue, CheckIntegrityFindsInconsistencies) {
    FakeClock clock;
    testutil::FailureRecorder failures;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    queue.insertTimer(10, &owner);
    EXPECT_TRUE(queue.checkIntegrity());
    // Corrupt: a dead entry the queue did not count.
    const_cast<std::vector<TimerPriorityQueue::HeapEntry>&>(queue.heap())[0].d_owner = nullptr;
    EXPECT_FALSE(queue.checkIntegrity());
    auto messages = failures.takeMessages();
    ASSERT_EQ(messages.size(), 2u);  // id not 0 without owner; dead count
    EXPECT_EQ(messages[0], "1");
    EXPECT_EQ(messages[1], "1 != 0");
}

TEST(TimerPriorityQueue, RemoveAllTimersClearsEveryKindIncludingTheFiringOne) {
    FakeClock clock;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    RecordingOwner other;
    other.d_accept_all = true;
    owner.d_accept_all = true;
    queue.insertTimer(0, &owner);
    queue.insertTimer(10, &owner);
    queue.insertTimer(20, &owner);
    queue.insertTimer(10, &other);
    int removedInside = -1;
    owner.d_on_fire = [&](int64_t) { removedInside = queue.removeAllTimers(&owner); };
    clock.advance(10);
    queue.processTimers();  // the zero timer fires first and removes all 3
    EXPECT_EQ(removedInside, 3);
    EXPECT_EQ(owner.d_fired.size(), 1u);
    EXPECT_EQ(queue.countTimers(&owner), 0);
    EXPECT_EQ(queue.countTimers(&other), 1);

    // Removing from inside a heap timer's callback clears the current entry.
    queue.insertTimer(5, &owner);
    owner.d_fired.clear();
    clock.advance(5);
    queue.processTimers();
    EXPECT_EQ(removedInside, 1);
    EXPECT_EQ(queue.countTimers(&owner), 0);
    EXPECT_TRUE(queue.checkIntegrity());
    queue.removeAllTimers(&other);
}

TEST(TimerPriorityQueue, DiagnosticsDescribeTheTimers) {
    FakeClock clock;
    testutil::LogLines log;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.d_accept_all = true;
    const int64_t heapId = queue.insertTimer(250, &owner);
    queue.insertTimer(250, &owner);
    const int64_t zeroId = queue.insertTimer(0, &owner);
    clock.advance(250);
    queue.processTimers();

    queue.printHeap(core::LOG_INFO);
    EXPECT_TRUE(log.contains(core::strFormat(
        "kern::TimerPriorityQueue::printHeap -   STD_TIMER(kern::RecordingOwner) id=%d, "
        "timeout=250ms, next=1000:500000000",
        heapId)));
    EXPECT_TRUE(log.contains(core::strFormat("  ZERO_TIMER(kern::RecordingOwner) id=%d", zeroId)));
    log.clear();
    queue.printHeap(core::LOG_NORM);  // disabled: nothing
    EXPECT_TRUE(log.lines().empty());

    queue.printQSummary();
    EXPECT_TRUE(log.contains("printQSummary - 3 timers (heap size = 2)"));
    EXPECT_TRUE(log.contains(" - 2 x kern::RecordingOwner:250ms"));
    EXPECT_TRUE(log.contains(" - 1 x kern::RecordingOwner:<ZERO>"));

    std::string table;
    queue.printStatistics(&table);
    EXPECT_NE(table.find("TimerPriorityQueue"), std::string::npos);
    for (const char* part : {"Max", "Added", "Calls", "Calls/sec", "Calls/proc", "Zero", "Heap",
                             "<BR>\n", "Zero timers (1)", "Heap timers (2)", "Timeout"}) {
        EXPECT_NE(table.find(part), std::string::npos) << part;
    }
    // Heap row: max 2, added 2, fired 2, 2 firings in 1 processing call.
    EXPECT_NE(table.find("<TD>Heap</TD><TD>2</TD><TD>2</TD><TD>2</TD>"), std::string::npos)
        << table;
    EXPECT_NE(table.find("<TD>kern::RecordingOwner</TD><TD>250ms</TD><TD>2</TD>"),
              std::string::npos);

    log.clear();
    EXPECT_EQ(queue.reportLeftTimers(), 3);
    EXPECT_TRUE(log.contains("timers are still running, zero=1, heap=2"));
    EXPECT_TRUE(log.contains(" - kern::RecordingOwner:ZERO = 1"));
    EXPECT_TRUE(log.contains(" - kern::RecordingOwner:250ms = 2"));
    queue.removeAllTimers(&owner);
}

}  // namespace
}  // namespace kern
