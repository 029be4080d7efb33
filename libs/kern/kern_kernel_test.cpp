#include "kern_kernel.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include "kern_testutil.h"
#include "kern_timecache.h"
#include "platform/core_platform.h"
#include "testsupport_logcapture.h"

namespace kern {
namespace {

using testutil::FailureRecorder;
using testutil::LogLines;

bool raiseDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(limit.rlim_max, wanted);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur >= wanted;
}

void customHandler(int) {}

Kernel::SignalHandler currentHandler(int signal) {
    struct sigaction action {};
    ::sigaction(signal, nullptr, &action);
    return action.sa_handler;
}

// What another thread (the service control handler) uses to end the wait at
// once; a wake that comes before the loop runs is kept for its first pass.
TEST(StdKernel, AWakeFromAnotherThreadRunsTheWakeHandlerOnTheLoop) {
    StdKernel kernel(0, nullptr);
    kernel.setInstallSignalHandlers(false);
    std::thread::id ranOn;
    int wakes = 0;
    kernel.setWakeHandler([&] {
        ranOn = std::this_thread::get_id();
        ++wakes;
        kernel.stopKernel();
    });
    std::thread other([&] {
        kernel.wake();
        kernel.wake();
    });
    other.join();
    EXPECT_FALSE(core::socketInheritable(kernel.dummyFd()->socket()));
    kernel.run();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(wakes, 1);
}

TEST(StdKernel, CreatesAndDestroysTheThreadsManagers) {
    EXPECT_EQ(Kernel::current(), nullptr);
    {
        StdKernel kernel(0, nullptr);
        EXPECT_EQ(Kernel::current(), &kernel);
        EXPECT_EQ(Kernel::kernelCount(), 1);
        EXPECT_EQ(TimerManager::timerManager(), kernel.timerQueue());
        EXPECT_EQ(DescriptorManager::descriptorManager(), kernel.descriptorManager());
        EXPECT_NE(ClockTickManager::manager(), nullptr);
        EXPECT_NE(VideoClockManager::singleton(), nullptr);
        // The dummy socket keeps the read set from ever being empty.
        ASSERT_NE(kernel.dummyFd()->socket(), INVALID_SOCKET);
        EXPECT_EQ(kernel.descriptorManager()->readSet().object(kernel.dummyFd()->socket()),
                  kernel.dummyFd());
    }
    EXPECT_EQ(Kernel::current(), nullptr);
    EXPECT_EQ(Kernel::kernelCount(), 0);
    EXPECT_EQ(TimerManager::timerManager(), nullptr);
    EXPECT_EQ(DescriptorManager::descriptorManager(), nullptr);
    EXPECT_EQ(ClockTickManager::manager(), nullptr);
    EXPECT_EQ(VideoClockManager::singleton(), nullptr);
}

TEST(StdKernel, ParsesTheLogOptions) {
    testutil::LogLines log;
    const int type = core::MasterLogger::registerType("TEST_KERN", "");
    ASSERT_GT(type, 4);
    char arg0[] = "console";
    char d[] = "d";
    char name[] = "TEST_KERN";
    char unknown[] = "NO_SUCH_TYPE";
    char dMinus[] = "d-";
    char di[] = "di";
    char dw[] = "dw";
    char dc[] = "dc";
    {
        char* argv[] = {arg0, d, name, d, unknown};
        StdKernel kernel(5, argv);
        EXPECT_TRUE(core::isLogEnabled(type));
        EXPECT_EQ(
            log.texts(core::LOG_WARN),
            std::vector<std::string>{"kern::Kernel::parseArguments - no log type 'NO_SUCH_TYPE'"});
        kernel.parseArguments(2, std::vector<char*>{dMinus, name}.data());
        EXPECT_FALSE(core::isLogEnabled(type));
        kernel.parseArguments(6, std::vector<char*>{di, name, dw, name, dc, name}.data());
        EXPECT_EQ(core::MasterLogger::code(type), 7);
        EXPECT_TRUE(core::isLogEnabled(type));
        // The first argument counts; a trailing option without value is ignored.
        kernel.parseArguments(3, std::vector<char*>{dMinus, name, d}.data());
        EXPECT_FALSE(core::isLogEnabled(type));
    }
}

TEST(StdKernel, DebugAndNoCrashOptions) {
    testutil::LogLines log;
    char debug[] = "debug";
    char noCrash[] = "no_crash_on_gassert";
    char* argv[] = {debug, noCrash};
    StdKernel kernel(2, argv);
    for (int type : {core::LOG_NORM, core::LOG_INFO, core::LOG_WARN, core::LOG_CRIT}) {
        EXPECT_TRUE(core::MasterLogger::consoleEcho(type)) << type;
        EXPECT_TRUE(core::isLogEnabled(type)) << type;
    }
    EXPECT_TRUE(log.contains("kern::Kernel::parseArguments - no_crash_on_gassert"));
    EXPECT_FALSE(core::Assert::stopOnFailedCheck());
    // A failed check is reported and the program goes on.
    EXPECT_FALSE(CHECKF(false, "still here"));
    core::Assert::setStopOnFailedCheck(true);
    for (int type : {core::LOG_NORM, core::LOG_INFO, core::LOG_WARN}) {
        core::MasterLogger::setConsoleEcho(type, false);
    }
}

TEST(StdKernel, SelectTimeoutFollowsTheTimerQueue) {
    auto at = [](int32_t sec, int32_t nsec) { return TimerTime{sec, nsec}; };
    auto check = [](timeval tv, long sec, long usec) {
        EXPECT_EQ(tv.tv_sec, sec);
        EXPECT_EQ(tv.tv_usec, usec);
    };
    check(StdKernel::selectTimeout(true, false, at(5, 0), at(9, 0)), 0, 0);
    check(StdKernel::selectTimeout(false, true, at(5, 0), at(0, 0)), 1, 0);
    check(StdKernel::selectTimeout(false, false, at(5, 0), at(5, 0)), 0, 0);  // due
    check(StdKernel::selectTimeout(false, false, at(5, 0), at(4, 0)), 0, 0);  // overdue
    check(StdKernel::selectTimeout(false, false, at(5, 0), at(5, 400000)), 0, 1000);
    check(StdKernel::selectTimeout(false, false, at(5, 0), at(10, 300000000)), 1, 300000);
    check(StdKernel::selectTimeout(false, false, at(5, 900000000), at(7, 100000000)), 1, 200000);
    check(StdKernel::selectTimeout(false, false, at(5, 0), at(5, 2500000)), 0, 2500);
}

TEST(StdKernel, DispatchesReadyDescriptorsAscendingIncludingAbove1024) {
    if (!raiseDescriptorLimit(1600)) {
        GTEST_SKIP() << "descriptor limit too low";
    }
    StdKernel kernel(0, nullptr);
    kernel.setInstallSignalHandlers(false);
    SocketPair high;
    SocketPair low;
    high.moveTo(0, 1500);
    low.moveTo(0, 1200);
    ASSERT_EQ(::write(high.d_fd[1], "a", 1), 1);
    ASSERT_EQ(::write(low.d_fd[1], "b", 1), 1);
    std::vector<SOCKET> order;
    Watcher first;  // registered first, higher descriptor
    Watcher second;
    first.d_on_call = [&](SOCKET fd, int) { order.push_back(fd); };
    second.d_on_call = [&](SOCKET fd, int) {
        order.push_back(fd);
        kernel.stopKernel();
    };
    first.addReadDescriptor(1500);
    second.addReadDescriptor(1200);
    EXPECT_TRUE(kernel.run());
    // One pass: ascending order, both called despite the stop in between.
    EXPECT_EQ(order, (std::vector<SOCKET>{1200, 1500}));
    EXPECT_FALSE(kernel.isRunning());
}

TEST(StdKernel, ReadThenWriteSetAndSelfRemovalInsideTheCallback) {
    StdKernel kernel(0, nullptr);
    kernel.setInstallSignalHandlers(false);
    SocketPair pair;
    ASSERT_EQ(::write(pair.d_fd[1], "x", 1), 1);  // stays unread: always readable
    Watcher watcher;
    std::vector<int> types;
    watcher.d_on_call = [&](SOCKET fd, int type) {
        types.push_back(type);
        if (type == e_READ_SET) {
            watcher.removeReadDescriptor(fd);
        } else {
            watcher.removeWriteDescriptor(fd);
        }
    };
    watcher.addReadDescriptor(pair.d_fd[0]);
    watcher.addWriteDescriptor(pair.d_fd[0]);
    int passes = 0;
    SingleShotTimer counter("passes");
    counter.setFunction([&] {
        if (++passes == 4) {
            kernel.stopKernel();
        } else {
            counter.start(0);
        }
    });
    counter.start(0);
    EXPECT_TRUE(kernel.run());
    EXPECT_EQ(types, (std::vector<int>{e_READ_SET, e_WRITE_SET}));
    EXPECT_FALSE(core::socketSetHas(pair.d_fd[0], &kernel.descriptorManager()->readSet().fdset()));
    EXPECT_EQ(kernel.descriptorManager()->writeSet().numRegistrations(), 0);
}

TEST(StdKernel, HeapTimersRunOnEveryFifthActivePassZeroTimersOnEvery) {
    FakeClock clock;
    StdKernel kernel(0, nullptr);
    kernel.setInstallSignalHandlers(false);
    SocketPair pair;
    ASSERT_EQ(::write(pair.d_fd[1], "x", 1), 1);  // every pass is active
    int passes = 0;
    Watcher busy;
    busy.d_on_call = [&](SOCKET, int) {
        ++passes;
        FakeClock::advance(10);  // the heap timer is due on every pass
        if (passes == 11) {
            kernel.stopKernel();
        }
    };
    busy.addReadDescriptor(pair.d_fd[0]);
    RecordingOwner heap;
    std::vector<int> heapPasses;
    heap.d_on_fire = [&](int64_t) { heapPasses.push_back(passes); };
    heap.restartTimer(heap.d_a, 10);
    RecordingOwner zero;
    zero.restartTimer(zero.d_a, 0);
    const uint32_t selectsBefore = kernel.selectCount();
    EXPECT_TRUE(kernel.run());
    EXPECT_EQ(heapPasses, (std::vector<int>{1, 6, 11}));
    EXPECT_EQ(zero.count(zero.d_a.id()), 11);
    EXPECT_EQ(kernel.selectCount() - selectsBefore, 11u);
    heap.killTimer(heap.d_a);
    zero.killTimer(zero.d_a);
}

// A descriptor closed while registered fails every select at once, and no
// socket is served while select fails.  The first failed pass names it and
// sets it aside: the other sockets are served again, the timers run (the
// Client's stop check is one), the loop does not spin, and the owner can
// still remove its registration.
TEST(StdKernel, ADescriptorClosedWhileRegisteredIsSetAsideAndNamed) {
    testutil::LogLines log;
    FailureRecorder failures;
    {
        StdKernel kernel(0, nullptr);
        kernel.setInstallSignalHandlers(false);
        SocketPair pair;
        ASSERT_EQ(::write(pair.d_fd[1], "x", 1), 1);
        Watcher live;
        live.d_on_call = [&](SOCKET fd, int) { live.removeReadDescriptor(fd); };
        live.addReadDescriptor(pair.d_fd[0]);
        Watcher stale;
        const int fd = ::dup(0);
        ::close(fd);  // registered but not open: select fails
        stale.addReadDescriptor(fd);
        RecordingOwner ticks;
        ticks.d_on_fire = [&](int64_t) {
            if (ticks.d_fired.size() == 3) {
                kernel.stopKernel();
            }
        };
        ticks.restartTimer(ticks.d_a, 20);
        const uint32_t selectsBefore = kernel.selectCount();
        EXPECT_TRUE(kernel.run());
        EXPECT_EQ(ticks.count(ticks.d_a.id()), 3);
        EXPECT_EQ(live.d_calls.size(), 1u);
        EXPECT_TRUE(stale.d_calls.empty());
        // A spinning loop makes thousands of calls in 60 ms.
        EXPECT_LT(kernel.selectCount() - selectsBefore, 20u);
        ticks.killTimer(ticks.d_a);
        EXPECT_EQ(log.texts(core::LOG_WARN),
                  (std::vector<std::string>{
                      "kern::StdKernel::runLoop - Select error: 10038 [1 times in 0 seconds]",
                      "kern::StdDescriptorManager::setAsideClosed(" + std::to_string(fd) +
                          ") - not an open socket, no longer watched in the read set of "
                          "kern::Watcher"}));
        // A new socket of the same number, taken over, is watched again.
        live.addReadDescriptor(fd);
        EXPECT_TRUE(core::socketSetHas(fd, &kernel.descriptorManager()->readSet().fdset()));
        live.removeReadDescriptor(fd);
    }
    EXPECT_TRUE(failures.takeMessages().empty());
}

TEST(StdKernel, TimeCacheReadsOncePerPassWhileRunning) {
    StdKernel kernel(0, nullptr);
    kernel.setInstallSignalHandlers(false);
    EXPECT_EQ(TimeCache::reuseLimit(), 1u);
    uint64_t readingsInPass = 0;
    SingleShotTimer probe("probe", [&] {
        const uint64_t before = TimeCache::numReadings();
        for (int i = 0; i < 100; ++i) {
            TimeCache::now();
        }
        readingsInPass = TimeCache::numReadings() - before;
        kernel.stopKernel();
    });
    probe.start(0);
    kernel.run();
    EXPECT_EQ(readingsInPass, 1u);
    EXPECT_EQ(TimeCache::reuseLimit(), 1u);
    const uint64_t before = TimeCache::numReadings();
    TimeCache::now();
    TimeCache::now();
    EXPECT_EQ(TimeCache::numReadings() - before, 2u);
}

class Veto : public ShutdownHandler {
  public:
    bool allowShutdown() override { return ++d_asked > 1; }
    int d_asked = 0;
};

TEST(StdKernel, ShutdownHandlerCanDenyTheStop) {
    testutil::LogLines log;
    StdKernel kernel(0, nullptr);
    kernel.setInstallSignalHandlers(false);
    Veto veto;
    kernel.setShutdownHandler(&veto);
    int passes = 0;
    SingleShotTimer tick("tick");
    tick.setFunction([&] {
        ++passes;
        kernel.stopKernel();  // denied the first time
        if (kernel.isRunning()) {
            tick.start(0);
        }
    });
    tick.start(0);
    EXPECT_TRUE(kernel.run());
    EXPECT_EQ(passes, 2);
    EXPECT_TRUE(
        log.contains("kern::Kernel::stopKernel(false) - shutdown handler has denied shutdown"));
    EXPECT_FALSE(veto.isAttached());  // detached by the granted stop
    EXPECT_EQ(kernel.shutdownHandler(), nullptr);

    {
        Veto shortLived;
        kernel.setShutdownHandler(&shortLived);
    }
    EXPECT_EQ(kernel.shutdownHandler(), nullptr);
    kernel.stopKernel();  // not running: nothing
}

TEST(StdKernel, DeleteLaterRunsOnTheNextPassAndAtDestruction) {
    auto kernel = std::make_unique<StdKernel>(0, nullptr);
    kernel->setInstallSignalHandlers(false);
    std::vector<std::string> events;
    SingleShotTimer queueing("queueing", [&] {
        kernel->deleteLater([&] {
            events.push_back("deferred");
            kernel->stopKernel();
        });
        events.push_back("callback ends");
    });
    queueing.start(0);
    kernel->run();
    EXPECT_EQ(events, (std::vector<std::string>{"callback ends", "deferred"}));
    bool ranAtEnd = false;
    kernel->deleteLater([&] { ranAtEnd = true; });
    kernel.reset();
    EXPECT_TRUE(ranAtEnd);
}

TEST(StdKernel, RunWhileRunningIsRefused) {
    testutil::FailureRecorder failures;
    StdKernel kernel(0, nullptr);
    kernel.setInstallSignalHandlers(false);
    bool nested = true;
    SingleShotTimer inner("inner", [&] {
        nested = kernel.run();
        kernel.stopKernel();
    });
    inner.start(0);
    EXPECT_TRUE(kernel.run());
    EXPECT_FALSE(nested);
    EXPECT_EQ(failures.takeMessages(), std::vector<std::string>{"is already running"});
    // It can run again after it returned.
    inner.setFunction([&] { kernel.stopKernel(); });
    inner.start(0);
    EXPECT_TRUE(kernel.run());
}

TEST(StdKernel, InterruptSignalEndsTheLoopAndHandlersAreRestored) {
    std::signal(SIGINT, &customHandler);
    testutil::LogLines log;
    {
        StdKernel kernel(0, nullptr);
        SingleShotTimer interrupt("interrupt", [] { std::raise(SIGINT); });
        interrupt.start(0);
        EXPECT_TRUE(kernel.run());
        EXPECT_TRUE(log.contains(
            core::strFormat("kern::Kernel::handleArrivedSignals - setStillRunning(false) - (2;%d)",
                            core::processId())));
        EXPECT_NE(currentHandler(SIGINT), &customHandler);  // still the kernel's
        EXPECT_NE(currentHandler(SIGQUIT), SIG_DFL);
        EXPECT_EQ(currentHandler(21), SIG_DFL);  // SIGTTIN is left alone
    }
    EXPECT_EQ(currentHandler(SIGINT), &customHandler);
    EXPECT_EQ(currentHandler(SIGQUIT), SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
}

TEST(StdKernel, ArrivedSignalsAreListedLowestFirst) {
    testutil::LogLines log;
    StdKernel kernel(0, nullptr);
    kernel.handleArrivedSignals((1u << 10) | (1u << 12), 1u << 1);
    EXPECT_TRUE(log.contains("kern::Kernel::handleArrivedSignals - unhandled signals 10,12,33"));
    kernel.handleArrivedSignals((1u << 2) | (1u << 15), 0);
    EXPECT_TRUE(
        log.contains(core::strFormat("setStillRunning(false) - (2,15;%d)", core::processId())));
}

TEST(StdKernel, SecondKernelKeepsHandlersUntilTheLastIsDestroyed) {
    std::signal(SIGINT, &customHandler);
    auto first = std::make_unique<StdKernel>(0, nullptr);
    SingleShotTimer stop("stop", [&] { first->stopKernel(); });
    stop.start(0);
    first->run();  // installs the handlers
    const Kernel::SignalHandler installed = currentHandler(SIGINT);
    ASSERT_NE(installed, &customHandler);

    std::mutex mutex;
    std::condition_variable changed;
    int stage = 0;  // 1: second built, 2: may destroy, 3: destroyed
    std::thread other([&] {
        auto second = std::make_unique<StdKernel>(0, nullptr);
        std::unique_lock<std::mutex> lock(mutex);
        stage = 1;
        changed.notify_all();
        changed.wait(lock, [&] { return stage == 2; });
        second.reset();
        stage = 3;
        changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stage == 1; });
    }
    EXPECT_EQ(Kernel::kernelCount(), 2);
    first.reset();
    EXPECT_EQ(currentHandler(SIGINT), installed);
    {
        std::unique_lock<std::mutex> lock(mutex);
        stage = 2;
        changed.notify_all();
        changed.wait(lock, [&] { return stage == 3; });
    }
    other.join();
    EXPECT_EQ(Kernel::kernelCount(), 0);
    EXPECT_EQ(currentHandler(SIGINT), &customHandler);
    std::signal(SIGINT, SIG_DFL);
}

TEST(StdKernel, WatchdogRunsOnlyOnTheLoggersThreadAndAnIdleLoopFeedsIt) {
    core::MasterLogger::threadNumber();  // this thread created the logger
    Kernel::setWatchdogPeriods(20, 100);
    {
        StdKernel kernel(0, nullptr);
        kernel.setInstallSignalHandlers(false);
        uint32_t fed = 0;
        bool watched = false;
        SingleShotTimer stop("stop", [&] {
            watched = kernel.watchdog() != nullptr;
            fed = watched ? kernel.watchdog()->counter() : 0;
            kernel.stopKernel();
        });
        stop.start(300);  // idle for 300 ms: well past the 100 ms time-out
        EXPECT_TRUE(kernel.run());
        EXPECT_TRUE(watched);
        EXPECT_GE(fed, 5u);
        EXPECT_EQ(kernel.watchdog(), nullptr);
    }
    bool watchedElsewhere = true;
    std::thread other([&] {
        StdKernel kernel(0, nullptr);
        kernel.setInstallSignalHandlers(false);
        SingleShotTimer stop("stop", [&] {
            watchedElsewhere = kernel.watchdog() != nullptr;
            kernel.stopKernel();
        });
        stop.start(0);
        kernel.run();
    });
    other.join();
    EXPECT_FALSE(watchedElsewhere);
    Kernel::setWatchdogPeriods(KernelWatchdog::k_PERIOD_MS, KernelWatchdog::k_TIMEOUT_MS);
}

TEST(StdKernelDeathTest, WatchdogAbortsALoopStuckInACallback) {
    EXPECT_DEATH(
        {
            core::MasterLogger::threadNumber();
            Kernel::setWatchdogPeriods(20, 100);
            StdKernel kernel(0, nullptr);
            kernel.setInstallSignalHandlers(false);
            SingleShotTimer stuck("stuck", [] {
                for (;;) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            });
            stuck.start(0);
            kernel.run();
        },
        "kern::WatchdogThread - Watchdog thread - dump then abort");
}

TEST(KernelWatchdog, CountsOnlyACounterThatStandsStill) {
    // Wake-ups driven by the test: period 10, time-out 30, so three silent
    // wake-ups are allowed and the fourth aborts.
    std::atomic<uint32_t> counter{0};
    WatchdogThread thread(10, 30, &counter);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(thread.wakeUp());  // feeding suspended
    }
    counter = 7;
    EXPECT_TRUE(thread.wakeUp());  // moved
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(thread.wakeUp());
    }
    counter = 8;
    EXPECT_TRUE(thread.wakeUp());  // fed in time: counting starts again
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(thread.wakeUp());
    }
    EXPECT_FALSE(thread.wakeUp());

    TimerPriorityQueue queue;
    KernelWatchdog watchdog(10, 30);
    EXPECT_FALSE(watchdog.handleTimeout(watchdog.counter() + 999));
}

}  // namespace
}  // namespace kern
