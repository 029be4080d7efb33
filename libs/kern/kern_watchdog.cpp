#include "kern_watchdog.h"

#include <chrono>

#include "core_stacktrace.h"
#include "platform/core_platform.h"

namespace kern {

// WatchdogThread

WatchdogThread::WatchdogThread(int periodMs, int timeoutMs, std::atomic<uint32_t>* counter)
    : d_period_ms(periodMs > 0 ? periodMs : 1),
      d_allowed_misses(timeoutMs / (periodMs > 0 ? periodMs : 1)),
      d_counter(counter) {}

WatchdogThread::~WatchdogThread() {
    stop();
}

void WatchdogThread::start() {
    if (d_thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(d_mutex);
        d_stop = false;
    }
    d_thread = std::thread([this] { run(); });
}

void WatchdogThread::stop() {
    {
        std::lock_guard<std::mutex> lock(d_mutex);
        d_stop = true;
    }
    d_wake.notify_all();
    if (d_thread.joinable()) {
        d_thread.join();
    }
}

bool WatchdogThread::wakeUp() {
    const uint32_t value = d_counter->load();
    if (value == 0) {
        return true;
    }
    if (value != d_last) {
        d_last = value;
        d_misses = 0;
        return true;
    }
    return ++d_misses <= d_allowed_misses;
}

void WatchdogThread::run() {
    core::blockConsoleSignalsOnThisThread();
    d_last = d_counter->load();
    d_misses = 0;
    std::unique_lock<std::mutex> lock(d_mutex);
    while (true) {
        if (d_wake.wait_for(lock, std::chrono::milliseconds(d_period_ms),
                            [this] { return d_stop; })) {
            return;
        }
        if (!wakeUp()) {
            core::StackTrace::abortWithStack("kern::WatchdogThread",
                                             "Watchdog thread - dump then abort");
        }
    }
}

// KernelWatchdog

KernelWatchdog::KernelWatchdog(int periodMs, int timeoutMs)
    : d_period_ms(periodMs), d_thread(periodMs, timeoutMs, &d_counter) {}

KernelWatchdog::~KernelWatchdog() {
    d_thread.stop();
    if (d_timer.isSet() && TimerManager::timerManager()) {
        killTimer(d_timer);
    }
}

void KernelWatchdog::start() {
    d_counter.store(1);
    d_thread.start();
    restartTimer(d_timer, d_period_ms);
}

bool KernelWatchdog::handleTimeout(int64_t id) {
    if (!(d_timer == id)) {
        return false;
    }
    d_counter.fetch_add(1);
    return true;
}

}  // namespace kern
