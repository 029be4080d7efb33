// kern_timers.h                                                   -*-C++-*-
//
// Timers of the event kernel.  An object that wants to be called back after a
// delay derives from 'TimerInterface', keeps one 'TimerId' per purpose and
// arms it through the thread's 'TimerManager' (the timer queue the kernel
// creates).  Timers are periodic until killed.  'SingleShotTimer' and
// 'RepeatTimer' are ready-made owners that call a function;
// 'RegularTimer' wraps one periodic inner timer.
//
// Thread safety: kernel thread only.  Timer owners must be destroyed on the
// kernel's thread while the kernel still exists.
#ifndef INCLUDED_KERN_TIMERS
#define INCLUDED_KERN_TIMERS

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kern {

class TimerInterface;

// The armed state of one timer: the id the manager handed out (0 = not
// armed) and the period it was armed with.
class TimerId {
  public:
    TimerId() = default;

    bool isSet() const { return d_id != 0; }
    bool empty() const { return d_id == 0; }
    int64_t id() const { return d_id; }
    int32_t period() const { return d_period; }
    bool operator==(int64_t id) const { return d_id != 0 && d_id == id; }

  private:
    friend class TimerInterface;
    int64_t d_id = 0;
    int32_t d_period = 0;
};

// The thread's store of armed timers.  The kernel creates one per thread
// (the timer queue); it registers itself in the thread context.
class TimerManager {
  public:
    // The calling thread's manager, or null.
    static TimerManager* timerManager();

    // CREATORS
    // Registers this manager for the calling thread; a second one on the
    // same thread is a failed check (and is not registered).
    TimerManager();
    virtual ~TimerManager();
    TimerManager(const TimerManager&) = delete;
    TimerManager& operator=(const TimerManager&) = delete;

    // Logs every timer at log type 'logType'.
    virtual void printHeap(int logType) = 0;
    // Appends the statistics tables to '*out'.
    virtual void printStatistics(std::string* out) = 0;
    // Arms a timer of 'owner' firing every 'ms' (0: on every loop pass);
    // answers its id, 0 on refusal.
    virtual int64_t insertTimer(int ms, TimerInterface* owner) = 0;
    // Removes every timer of 'owner'; answers how many.
    virtual int removeAllTimers(TimerInterface* owner) = 0;
    // Removes the timer 'id', which must belong to 'owner'.
    virtual void removeTimer(int64_t id, TimerInterface* owner) = 0;
    // The number of live timers of 'owner', -1 when this manager cannot tell.
    virtual int countTimers(const TimerInterface* owner) const;

    // ACCESSORS
    // A number no other manager of this process had or will have; an owner
    // that outlives a kernel tells its timers' manager from a successor at
    // the same address by it.
    uint64_t serial() const { return d_serial; }

  private:
    bool d_registered = false;
    uint64_t d_serial;
};

// Base of every object that owns timers.
class TimerInterface {
  public:
    virtual ~TimerInterface();

    // The object's class name, used in every message about it.
    virtual std::string className() const;
    // Called when one of this object's timers fires.  Must answer true for
    // its own ids; false makes the manager report the timer and remove it.
    virtual bool handleTimeout(int64_t id) = 0;

    // MANIPULATORS
    // Arms one timer of 'ms' and counts it; answers its id, 0 on failure.
    int64_t startTimer(int ms);
    // Arms 't', which must be empty ("timer already set for '%s'").
    void setTimer(TimerId& t, int ms);
    // Kills 't' if armed, then arms it with 'ms'.
    void restartTimer(TimerId& t, int ms);
    // Cancels 't' if armed and empties it.
    void killTimer(TimerId& t);

    // ACCESSORS
    // Timers armed and not killed.
    int numActiveTimers() const { return d_num_active_timers; }

  protected:
    TimerInterface() = default;
    TimerInterface(const TimerInterface&) = delete;
    TimerInterface& operator=(const TimerInterface&) = delete;

    // Stops counting timers that died with their manager (the owner outlived
    // its kernel); their ids must not be used again.
    void forgetTimers() { d_num_active_timers = 0; }

  private:
    int32_t d_num_active_timers = 0;
};

// Calls a function once, 'ms' after 'start'.  The timer is killed before the
// call, so the function may start it again.
class SingleShotTimer : public TimerInterface {
  public:
    // 'name' names the timer in messages and must outlive it.
    explicit SingleShotTimer(const char* name, std::function<void()> function = {});
    ~SingleShotTimer() override;

    void setFunction(std::function<void()> function) { d_function = std::move(function); }
    // (Re)arms the timer.
    void start(int ms);
    void stop();
    bool isActive() const { return d_timer.isSet(); }
    const char* name() const { return d_name; }

    bool handleTimeout(int64_t id) override;

  private:
    const char* d_name;
    std::function<void()> d_function;
    TimerId d_timer;
};

// Calls a function every period while it answers true; the timer stops after
// the first false answer.
class RepeatTimer : public TimerInterface {
  public:
    explicit RepeatTimer(const char* name, std::function<bool()> function = {});
    ~RepeatTimer() override;

    void setFunction(std::function<bool()> function) { d_function = std::move(function); }
    // (Re)arms with 'ms'; a period that does not fit in 32 bits is a failed
    // check and leaves the timer stopped.
    void start(int64_t ms);
    void stop();
    bool isActive() const { return d_timer.isSet(); }
    const TimerId& timerId() const { return d_timer; }
    const char* name() const { return d_name; }

    bool handleTimeout(int64_t id) override;

  private:
    const char* d_name;
    std::function<bool()> d_function;
    TimerId d_timer;
};

// A periodic tick delivered to 'handleRegularTimeout' through one inner
// timer.  Starting replaces any previous inner timer.
class RegularTimer {
  public:
    RegularTimer();
    virtual ~RegularTimer();
    RegularTimer(const RegularTimer&) = delete;
    RegularTimer& operator=(const RegularTimer&) = delete;

    void start(int periodMs);
    void stop();
    bool isRunning() const { return d_timer != nullptr; }
    int period() const;

    virtual void handleRegularTimeout() = 0;

    class Timer : public TimerInterface {
      public:
        Timer(RegularTimer* owner, int periodMs);
        ~Timer() override;
        int period() const { return d_period; }
        bool handleTimeout(int64_t id) override;

      private:
        RegularTimer* d_owner;
        TimerId d_timer;
        int d_period;
    };

  private:
    std::unique_ptr<Timer> d_timer;
};

}  // namespace kern

#endif
