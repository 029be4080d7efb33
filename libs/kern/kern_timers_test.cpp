#include "kern_timers.h"

#include <gtest/gtest.h>

#include "kern_clocktick.h"
#include "kern_testutil.h"
#include "kern_timerqueue.h"
#include "testsupport_logcapture.h"

namespace kern {
namespace {

using testutil::FailureRecorder;
using testutil::LogLines;

TEST(TimerInterface, ArmKillAndRestartKeepTheCountRight) {
    FakeClock clock;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.restartTimer(owner.d_a, 100);
    EXPECT_TRUE(owner.d_a.isSet());
    EXPECT_EQ(owner.d_a.period(), 100);
    EXPECT_EQ(owner.numActiveTimers(), 1);
    owner.restartTimer(owner.d_a, 200);  // kills the first
    EXPECT_EQ(owner.numActiveTimers(), 1);
    EXPECT_EQ(queue.countTimers(&owner), 1);
    EXPECT_EQ(owner.d_a.period(), 200);
    owner.killTimer(owner.d_a);
    EXPECT_TRUE(owner.d_a.empty());
    EXPECT_EQ(owner.d_a.period(), 0);
    owner.killTimer(owner.d_a);  // empty: nothing, no check
    EXPECT_EQ(owner.numActiveTimers(), 0);
    EXPECT_EQ(queue.countTimers(&owner), 0);
}

TEST(TimerInterface, SetTimerOnArmedIdReportsAndRearms) {
    FakeClock clock;
    testutil::FailureRecorder failures;
    TimerPriorityQueue queue;
    RecordingOwner owner;
    owner.setTimer(owner.d_a, 100);
    const int64_t first = owner.d_a.id();
    owner.setTimer(owner.d_a, 300);
    EXPECT_EQ(failures.takeMessages(),
              std::vector<std::string>{"timer already set for 'kern::RecordingOwner'"});
    EXPECT_NE(owner.d_a.id(), first);
    EXPECT_EQ(owner.d_a.period(), 300);
    EXPECT_EQ(queue.countTimers(&owner), 1);
    owner.killTimer(owner.d_a);
}

TEST(TimerInterface, MisuseWithoutManagerOrWithBadPeriod) {
    testutil::FailureRecorder failures;
    RecordingOwner owner;
    EXPECT_EQ(owner.startTimer(10), 0);
    EXPECT_EQ(failures.takeMessages(),
              std::vector<std::string>{
                  "called without manager in kern::RecordingOwner (too early or late)"});
    {
        TimerPriorityQueue queue;
        EXPECT_EQ(owner.startTimer(-5), 0);
        EXPECT_EQ(failures.takeMessages().size(), 1u);
        owner.restartTimer(owner.d_a, 10);
    }
    // The queue is gone: the explicit kill is too late.
    owner.killTimer(owner.d_a);
    EXPECT_EQ(failures.takeMessages(),
              std::vector<std::string>{"killTimer called too late in kern::RecordingOwner"});
    EXPECT_TRUE(owner.d_a.empty());
}

TEST(TimerInterface, DestructorRemovesArmedTimersAndChecksTheCount) {
    FakeClock clock;
    testutil::FailureRecorder failures;
    TimerPriorityQueue queue;
    {
        RecordingOwner owner;
        owner.restartTimer(owner.d_a, 100);
        owner.restartTimer(owner.d_b, 0);
    }
    EXPECT_TRUE(testutil::FailureRecorder::failures().empty());
    EXPECT_EQ(queue.deadCount(), 1);
    clock.advance(100);
    queue.processTimers();  // nothing left to call into a destroyed owner

    {
        RecordingOwner owner;
        owner.restartTimer(owner.d_a, 100);
        owner.restartTimer(owner.d_b, 100);
        // One timer vanishes behind the owner's back.
        queue.removeTimer(owner.d_b.id(), &owner);
    }
    ASSERT_EQ(testutil::FailureRecorder::failures().size(), 1u);
    EXPECT_EQ(testutil::FailureRecorder::failures()[0].d_expr,
              "num_removed == -1 || num_removed == d_num_active_timers");
    EXPECT_EQ(testutil::FailureRecorder::failures()[0].d_message, "1 removed, expected 2");
}

TEST(SingleShotTimer, FiresOnceAndMayRearmItself) {
    FakeClock clock;
    TimerPriorityQueue queue;
    int calls = 0;
    SingleShotTimer timer("test:1");
    timer.setFunction([&] {
        if (++calls == 1) {
            timer.start(50);
        }
    });
    timer.start(20);
    clock.advance(20);
    queue.processTimers();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(timer.isActive());
    clock.advance(49);
    queue.processTimers();
    EXPECT_EQ(calls, 1);
    clock.advance(1);
    queue.processTimers();
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(timer.isActive());
    clock.advance(500);
    queue.processTimers();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(timer.numActiveTimers(), 0);
}

TEST(SingleShotTimer, WithoutFunctionIsAFailedCheckAndStaysQuiet) {
    FakeClock clock;
    testutil::FailureRecorder failures;
    TimerPriorityQueue queue;
    SingleShotTimer timer("nameless");
    timer.start(0);
    queue.processTimers();
    queue.processTimers();
    EXPECT_EQ(failures.takeMessages(),
              std::vector<std::string>{"no function in single shot timer 'nameless'"});
    EXPECT_TRUE(queue.zeroListEmpty());
}

TEST(RepeatTimer, StopsAfterTheFirstFalse) {
    FakeClock clock;
    TimerPriorityQueue queue;
    int calls = 0;
    RepeatTimer timer("repeat", [&] { return ++calls < 3; });
    timer.start(10);
    for (int i = 0; i < 10; ++i) {
        clock.advance(10);
        queue.processTimers();
    }
    // true, true, false: one more firing after the last true, then disarmed.
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(timer.numActiveTimers(), 0);
    EXPECT_EQ(queue.countTimers(&timer), 0);
}

TEST(RepeatTimer, RestartedUnderneathUsIsReportedAndKeepsTheNewTimer) {
    FakeClock clock;
    testutil::FailureRecorder failures;
    TimerPriorityQueue queue;
    RepeatTimer* self = nullptr;
    int calls = 0;
    RepeatTimer timer("client:109", [&] {
        ++calls;
        self->start(30);
        return false;
    });
    self = &timer;
    timer.start(10);
    const int64_t first = timer.timerId().id();
    clock.advance(10);
    queue.processTimers();
    ASSERT_EQ(testutil::FailureRecorder::failures().size(), 1u);
    EXPECT_EQ(testutil::FailureRecorder::failures()[0].d_expr, "d_timer.timerId().empty()");
    EXPECT_EQ(testutil::FailureRecorder::failures()[0].d_message,
              core::strFormat("trying to stop timer restarted underneath us 'client:109' (%d,%d)",
                              first, timer.timerId().id()));
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.timerId().period(), 30);
    EXPECT_EQ(queue.countTimers(&timer), 1);
    timer.stop();
}

TEST(RepeatTimer, PeriodBeyond32BitsIsRefused) {
    FakeClock clock;
    testutil::FailureRecorder failures;
    TimerPriorityQueue queue;
    RepeatTimer timer("stats", [] { return true; });
    timer.start(1800000);
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.timerId().period(), 1800000);
    timer.start(int64_t(1) << 33);
    EXPECT_EQ(failures.takeMessages(),
              std::vector<std::string>{core::strFormat("stats:%dms", int64_t(1) << 33)});
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(queue.countTimers(&timer), 0);
}

class Ticker : public RegularTimer {
  public:
    void handleRegularTimeout() override { ++d_ticks; }
    int d_ticks = 0;
};

TEST(RegularTimer, StartReplacesTheInnerTimer) {
    FakeClock clock;
    TimerPriorityQueue queue;
    Ticker ticker;
    ticker.start(100);
    ticker.start(40);
    EXPECT_EQ(ticker.period(), 40);
    EXPECT_EQ(queue.heapSize() - queue.deadCount(), 1);
    clock.advance(40);
    queue.processTimers();
    clock.advance(40);
    queue.processTimers();
    EXPECT_EQ(ticker.d_ticks, 2);
    ticker.stop();
    EXPECT_FALSE(ticker.isRunning());
    clock.advance(400);
    queue.processTimers();
    EXPECT_EQ(ticker.d_ticks, 2);
}

class TickCounter : public ClockTickInterface {
  public:
    explicit TickCounter(int keep) : d_keep(keep) {}
    bool handleClockTick(int) override { return ++d_ticks < d_keep; }
    int d_keep;
    int d_ticks = 0;
};

TEST(ClockTick, DropsSubscribersThatAnswerFalseAndStopsWhenEmpty) {
    FakeClock clock;
    TimerPriorityQueue queue;
    ClockTickManager manager;
    EXPECT_EQ(ClockTickManager::manager(), &manager);
    TickCounter once(1);
    TickCounter thrice(3);
    manager.subscribe(&once, 100);
    manager.subscribe(&thrice, 100);
    EXPECT_EQ(manager.numTicks(), 1);
    for (int i = 0; i < 5; ++i) {
        clock.advance(100);
        queue.processTimers();
    }
    EXPECT_EQ(once.d_ticks, 1);
    EXPECT_EQ(thrice.d_ticks, 3);
    EXPECT_EQ(queue.heapSize() - queue.deadCount(), 0);  // the tick's timer is killed
}

TEST(ClockTick, DestroyedWithSubscribersReports) {
    FakeClock clock;
    testutil::FailureRecorder failures;
    testutil::LogLines log;
    TimerPriorityQueue queue;
    TickCounter counter(100);
    {
        ClockTick tick(250);
        tick.subscribe(&counter);
        EXPECT_TRUE(tick.isArmed());
    }
    EXPECT_TRUE(log.contains("kern::ClockTick::~ClockTick - ticks still running (250ms)"));
    EXPECT_EQ(failures.takeMessages(),
              std::vector<std::string>{"kern::(anonymous namespace)::TickCounter"});
    EXPECT_EQ(queue.heapSize() - queue.deadCount(), 0);
}

}  // namespace
}  // namespace kern
