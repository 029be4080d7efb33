#include "kern_timers.h"

#include <atomic>

#include <typeinfo>

#include "core_assert.h"
#include "core_check.h"
#include "core_v2masterlogger.h"
#include "kern_threadcontext.h"
#include "platform/core_platform.h"

namespace kern {

// TimerManager

TimerManager* TimerManager::timerManager() {
    return KernelThreadContext::current().d_timer_manager;
}

TimerManager::TimerManager() {
    static std::atomic<uint64_t> lastSerial{0};
    d_serial = ++lastSerial;
    KernelThreadContext& context = KernelThreadContext::current();
    if (CHECKF(context.d_timer_manager == nullptr, "a timer manager exists on this thread")) {
        context.d_timer_manager = this;
        d_registered = true;
    }
}

TimerManager::~TimerManager() {
    KernelThreadContext& context = KernelThreadContext::current();
    if (d_registered && context.d_timer_manager == this) {
        context.d_timer_manager = nullptr;
    }
}

int TimerManager::countTimers(const TimerInterface*) const {
    return -1;
}

// TimerInterface

TimerInterface::~TimerInterface() {
    TimerManager* manager = TimerManager::timerManager();
    if (!manager || d_num_active_timers <= 0) {
        return;
    }
    const int num_removed = manager->removeAllTimers(this);
    if (core::Assert::checkLevel() >= 1) {
        CHECKF_AS(num_removed == -1 || num_removed == d_num_active_timers,
                  "num_removed == -1 || num_removed == d_num_active_timers",
                  "%d removed, expected %d", num_removed, d_num_active_timers);
    }
}

std::string TimerInterface::className() const {
    return core::readableTypeName(typeid(*this));
}

int64_t TimerInterface::startTimer(int ms) {
    if (!CHECKF(ms >= 0, "%s: %d", className(), ms)) {
        return 0;
    }
    TimerManager* manager = TimerManager::timerManager();
    if (!CHECKF(manager != nullptr, "called without manager in %s (too early or late)",
                className())) {
        return 0;
    }
    const int64_t id = manager->insertTimer(ms, this);
    if (!CHECKF(id > 0, "%d", ms)) {
        return 0;
    }
    ++d_num_active_timers;
    return id;
}

void TimerInterface::setTimer(TimerId& t, int ms) {
    CHECKF(t.empty(), "timer already set for '%s'", className());
    restartTimer(t, ms);
}

void TimerInterface::restartTimer(TimerId& t, int ms) {
    if (t.isSet()) {
        killTimer(t);
    }
    t.d_period = ms;
    t.d_id = startTimer(ms);
}

void TimerInterface::killTimer(TimerId& t) {
    if (t.empty()) {
        return;
    }
    --d_num_active_timers;
    if (TimerManager* manager = TimerManager::timerManager()) {
        manager->removeTimer(t.d_id, this);
    } else {
        CHECKF(false, "killTimer called too late in %s", className());
    }
    t.d_id = 0;
    t.d_period = 0;
}

// SingleShotTimer

SingleShotTimer::SingleShotTimer(const char* name, std::function<void()> function)
    : d_name(name ? name : ""), d_function(std::move(function)) {}

SingleShotTimer::~SingleShotTimer() {
    if (d_timer.isSet() && TimerManager::timerManager()) {
        killTimer(d_timer);
    }
}

void SingleShotTimer::start(int ms) {
    restartTimer(d_timer, ms);
}

void SingleShotTimer::stop() {
    killTimer(d_timer);
}

bool SingleShotTimer::handleTimeout(int64_t id) {
    if (!CHECKF(d_timer == id, "%s: unexpected timer %d", d_name, id)) {
        return false;
    }
    killTimer(d_timer);
    if (!CHECKF(static_cast<bool>(d_function), "no function in single shot timer '%s'", d_name)) {
        return true;
    }
    d_function();
    return true;
}

// RepeatTimer

RepeatTimer::RepeatTimer(const char* name, std::function<bool()> function)
    : d_name(name ? name : ""), d_function(std::move(function)) {}

RepeatTimer::~RepeatTimer() {
    if (d_timer.isSet() && TimerManager::timerManager()) {
        killTimer(d_timer);
    }
}

void RepeatTimer::start(int64_t ms) {
    if (ms >> 32 <= 0 && ms >= 0 && ms <= INT32_MAX) {
        restartTimer(d_timer, static_cast<int>(ms));
        return;
    }
    CHECKF(false, "%s:%dms", d_name, ms);
    killTimer(d_timer);
}

void RepeatTimer::stop() {
    killTimer(d_timer);
}

bool RepeatTimer::handleTimeout(int64_t id) {
    if (!CHECKF(d_timer == id, "%s: unexpected timer %d", d_name, id)) {
        return false;
    }
    if (!CHECKF(static_cast<bool>(d_function), "no function in repeat timer '%s'", d_name)) {
        return true;
    }
    const int64_t firing = d_timer.id();
    if (d_function()) {
        return true;
    }
    if (d_timer.id() == firing) {
        killTimer(d_timer);
        return true;
    }
    CHECKF_AS(false, "d_timer.timerId().empty()",
              "trying to stop timer restarted underneath us '%s' (%d,%d)", d_name, firing,
              d_timer.id());
    return true;
}

// RegularTimer

RegularTimer::RegularTimer() = default;

RegularTimer::~RegularTimer() = default;

void RegularTimer::start(int periodMs) {
    d_timer.reset();
    d_timer = std::make_unique<Timer>(this, periodMs);
}

void RegularTimer::stop() {
    d_timer.reset();
}

int RegularTimer::period() const {
    return d_timer ? d_timer->period() : 0;
}

RegularTimer::Timer::Timer(RegularTimer* owner, int periodMs) : d_owner(owner), d_period(periodMs) {
    restartTimer(d_timer, periodMs);
}

RegularTimer::Timer::~Timer() {
    if (d_timer.isSet() && TimerManager::timerManager()) {
        killTimer(d_timer);
    }
}

bool RegularTimer::Timer::handleTimeout(int64_t id) {
    if (!(d_timer == id)) {
        return false;
    }
    d_owner->handleRegularTimeout();
    return true;
}

}  // namespace kern
