// kern_clocktick.h                                                -*-C++-*-
//
// Clock ticks: subscribers of one tick period share one periodic timer (a
// 'ClockTick'); the thread's 'ClockTickManager' keeps one 'ClockTick' per
// period.  The video clock manager keeps a list of clocks driven by one
// 'RegularTimer'.  The kernel creates both managers, empty; they register in
// the thread context.
//
// Thread safety: kernel thread only.
#ifndef INCLUDED_KERN_CLOCKTICK
#define INCLUDED_KERN_CLOCKTICK

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kern_timers.h"

namespace kern {

class ClockTickInterface {
  public:
    virtual ~ClockTickInterface();
    virtual std::string className() const;
    // One tick; false drops this subscription.
    virtual bool handleClockTick(int periodMs) = 0;
};

// The subscribers of one tick period.
class ClockTick : public TimerInterface {
  public:
    explicit ClockTick(int periodMs);
    ~ClockTick() override;

    // Adds 'subscriber' and arms the tick's timer if it is not.
    void subscribe(ClockTickInterface* subscriber);
    // Nulls every entry of 'subscriber' (compacted on the next tick).
    void unsubscribe(ClockTickInterface* subscriber);

    int period() const { return d_period; }
    bool isArmed() const { return d_timer.isSet(); }
    // Subscribers not nulled.
    int numSubscribers() const;
    int64_t numCalls() const { return d_calls; }

    bool handleTimeout(int64_t id) override;

  private:
    std::vector<ClockTickInterface*> d_subscribers;
    int d_period;
    TimerId d_timer;
    int64_t d_calls = 0;
    int64_t d_ticks = 0;
};

class ClockTickManager {
  public:
    // The calling thread's manager, or null.
    static ClockTickManager* manager();

    // Registers for this thread ("s_singleton == nullptr" when one exists).
    ClockTickManager();
    ~ClockTickManager();
    ClockTickManager(const ClockTickManager&) = delete;
    ClockTickManager& operator=(const ClockTickManager&) = delete;

    // Calls 'subscriber' every 'periodMs'.
    void subscribe(ClockTickInterface* subscriber, int periodMs);
    // Drops every subscription of 'subscriber'.
    void unsubscribe(ClockTickInterface* subscriber);
    int numTicks() const { return static_cast<int>(d_ticks.size()); }

  private:
    std::map<int, std::unique_ptr<ClockTick>> d_ticks;
    bool d_registered = false;
};

// A clock driven by the video clock manager.
class VideoClock {
  public:
    virtual ~VideoClock();
    virtual void handleVideoClock() = 0;
};

class VideoClockManager : public RegularTimer {
  public:
    // The calling thread's manager, or null.
    static VideoClockManager* singleton();

    VideoClockManager();
    ~VideoClockManager() override;

    virtual void addClock(VideoClock* clock) = 0;
    virtual void removeClock(VideoClock* clock) = 0;

  private:
    bool d_registered = false;
};

class StdVideoClockManager : public VideoClockManager {
  public:
    StdVideoClockManager();
    ~StdVideoClockManager() override;

    void addClock(VideoClock* clock) override;
    void removeClock(VideoClock* clock) override;
    int numClocks() const { return static_cast<int>(d_clocks.size()); }

    void handleRegularTimeout() override;

  private:
    std::vector<VideoClock*> d_clocks;
};

}  // namespace kern

#endif
