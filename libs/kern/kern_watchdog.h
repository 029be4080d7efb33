// kern_watchdog.h                                                 -*-C++-*-
//
// The loop watchdog.  'KernelWatchdog' is a timer owner on the kernel's loop
// that increments a shared counter every period; its 'WatchdogThread' wakes
// every period and, when the counter has not moved for more than
// timeout/period wake-ups, logs CRIT "Watchdog thread - dump then abort",
// writes the stack to the log and aborts the process.  A counter of 0 means
// feeding is suspended.
//
// Thread safety: the counter is the only state shared between the loop and
// the watchdog thread.  Construct, start and destroy on the loop thread.
#ifndef INCLUDED_KERN_WATCHDOG
#define INCLUDED_KERN_WATCHDOG

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "kern_timers.h"

namespace kern {

class WatchdogThread {
  public:
    // 'counter' must outlive this object.
    WatchdogThread(int periodMs, int timeoutMs, std::atomic<uint32_t>* counter);
    ~WatchdogThread();
    WatchdogThread(const WatchdogThread&) = delete;
    WatchdogThread& operator=(const WatchdogThread&) = delete;

    void start();
    // Signals the thread to end and joins it.
    void stop();

    // One wake-up of the thread (called by it; tests call it instead of
    // starting it): answers false when the counter has stood still for more
    // than the allowed number of wake-ups.  A counter of 0 is not counted.
    bool wakeUp();

    int allowedMisses() const { return d_allowed_misses; }

  private:
    void run();

    const int d_period_ms;
    const int d_allowed_misses;
    std::atomic<uint32_t>* d_counter;
    uint32_t d_last = 0;
    int d_misses = 0;
    std::thread d_thread;
    std::mutex d_mutex;
    std::condition_variable d_wake;
    bool d_stop = false;
};

class KernelWatchdog : public TimerInterface {
  public:
    static constexpr int k_PERIOD_MS = 10000;
    static constexpr int k_TIMEOUT_MS = 300000;

    KernelWatchdog(int periodMs = k_PERIOD_MS, int timeoutMs = k_TIMEOUT_MS);
    // Stops and joins the thread, then kills the timer.
    ~KernelWatchdog() override;

    // Starts the thread, sets the counter to 1 and arms the timer.
    void start();

    uint32_t counter() const { return d_counter.load(); }
    // 0 suspends the watchdog's counting.
    void setCounter(uint32_t value) { d_counter.store(value); }

    bool handleTimeout(int64_t id) override;

  private:
    int d_period_ms;
    TimerId d_timer;
    std::atomic<uint32_t> d_counter{0};
    WatchdogThread d_thread;
};

}  // namespace kern

#endif
