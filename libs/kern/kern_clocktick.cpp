#include "kern_clocktick.h"

#include <algorithm>
#include <typeinfo>

#include "core_assert.h"
#include "core_check.h"
#include "core_v2masterlogger.h"
#include "kern_threadcontext.h"
#include "platform/core_platform.h"

namespace kern {

// ClockTickInterface

ClockTickInterface::~ClockTickInterface() = default;

std::string ClockTickInterface::className() const {
    return core::readableTypeName(typeid(*this));
}

// ClockTick

ClockTick::ClockTick(int periodMs) : d_period(periodMs) {}

ClockTick::~ClockTick() {
    for (ClockTickInterface* subscriber : d_subscribers) {
        if (subscriber) {
            LOG_CRIT("kern::ClockTick::~ClockTick", "ticks still running (%dms)", d_period);
            CHECKF(false, "%s", subscriber->className());
            break;
        }
    }
    if (d_timer.isSet() && TimerManager::timerManager()) {
        killTimer(d_timer);
    }
}

void ClockTick::subscribe(ClockTickInterface* subscriber) {
    d_subscribers.push_back(subscriber);
    if (d_timer.empty()) {
        restartTimer(d_timer, d_period);
    }
}

void ClockTick::unsubscribe(ClockTickInterface* subscriber) {
    std::replace(d_subscribers.begin(), d_subscribers.end(), subscriber,
                 static_cast<ClockTickInterface*>(nullptr));
}

int ClockTick::numSubscribers() const {
    return static_cast<int>(d_subscribers.size()) -
           static_cast<int>(std::count(d_subscribers.begin(), d_subscribers.end(), nullptr));
}

bool ClockTick::handleTimeout(int64_t id) {
    if (!(d_timer == id)) {
        return false;
    }
    ++d_ticks;
    bool sawNull = false;
    // Subscribers may unsubscribe themselves or others (entries are only
    // nulled) and subscribe new ones (appended, first called next tick).
    for (size_t i = d_subscribers.size(); i-- > 0;) {
        ClockTickInterface* subscriber = d_subscribers[i];
        if (!subscriber) {
            sawNull = true;
            continue;
        }
        ++d_calls;
        if (!subscriber->handleClockTick(d_period)) {
            d_subscribers[i] = nullptr;
            sawNull = true;
        }
    }
    if (sawNull) {
        d_subscribers.erase(std::remove(d_subscribers.begin(), d_subscribers.end(), nullptr),
                            d_subscribers.end());
    }
    if (d_subscribers.empty()) {
        killTimer(d_timer);
    }
    return true;
}

// ClockTickManager

ClockTickManager* ClockTickManager::manager() {
    return KernelThreadContext::current().d_clock_tick_manager;
}

ClockTickManager::ClockTickManager() {
    KernelThreadContext& context = KernelThreadContext::current();
    ClockTickManager* s_singleton = context.d_clock_tick_manager;
    if (CHECKF_AS(s_singleton == nullptr, "s_singleton == nullptr")) {
        context.d_clock_tick_manager = this;
        d_registered = true;
    }
}

ClockTickManager::~ClockTickManager() {
    d_ticks.clear();
    KernelThreadContext& context = KernelThreadContext::current();
    if (d_registered && context.d_clock_tick_manager == this) {
        context.d_clock_tick_manager = nullptr;
    }
}

void ClockTickManager::subscribe(ClockTickInterface* subscriber, int periodMs) {
    std::unique_ptr<ClockTick>& tick = d_ticks[periodMs];
    if (!tick) {
        tick = std::make_unique<ClockTick>(periodMs);
    }
    tick->subscribe(subscriber);
}

void ClockTickManager::unsubscribe(ClockTickInterface* subscriber) {
    for (auto& [period, tick] : d_ticks) {
        tick->unsubscribe(subscriber);
    }
}

// VideoClockManager

VideoClock::~VideoClock() = default;

VideoClockManager* VideoClockManager::singleton() {
    return KernelThreadContext::current().d_video_clock_manager;
}

VideoClockManager::VideoClockManager() {
    KernelThreadContext& context = KernelThreadContext::current();
    if (CHECKF(context.d_video_clock_manager == nullptr,
               "a video clock manager exists on this thread")) {
        context.d_video_clock_manager = this;
        d_registered = true;
    }
}

VideoClockManager::~VideoClockManager() {
    KernelThreadContext& context = KernelThreadContext::current();
    if (d_registered && context.d_video_clock_manager == this) {
        context.d_video_clock_manager = nullptr;
    }
}

StdVideoClockManager::StdVideoClockManager() = default;

StdVideoClockManager::~StdVideoClockManager() {
    stop();
}

void StdVideoClockManager::addClock(VideoClock* clock) {
    d_clocks.push_back(clock);
}

void StdVideoClockManager::removeClock(VideoClock* clock) {
    d_clocks.erase(std::remove(d_clocks.begin(), d_clocks.end(), clock), d_clocks.end());
}

void StdVideoClockManager::handleRegularTimeout() {
    // A copy: a clock may remove itself.
    const std::vector<VideoClock*> clocks = d_clocks;
    for (VideoClock* clock : clocks) {
        clock->handleVideoClock();
    }
}

}  // namespace kern
