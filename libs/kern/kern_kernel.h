// kern_kernel.h                                                   -*-C++-*-
//
// The event kernel.  One 'StdKernel' is built per service cycle on the thread
// that runs the loop: its constructor reads the command line and creates the
// thread's managers (timer queue, clock ticks, descriptor manager, video
// clocks); 'run' loops on 'select' until 'stopKernel'.  The loop dispatches
// ready sockets (read, write, exception) and fires timers; it also handles
// console signals (SIGINT, SIGTERM and the break signal end it), consults an
// optional shutdown veto, runs deferred actions ('deleteLater') on the next
// pass, and, on the thread that created the logger, is guarded by a watchdog
// that aborts the process when the loop stops turning.
//
// Thread safety: everything runs on the kernel's thread, except the signal
// handler (which only sets flags), the watchdog thread and 'wake', which any
// thread may call while the kernel exists.
#ifndef INCLUDED_KERN_KERNEL
#define INCLUDED_KERN_KERNEL

#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "kern_clocktick.h"
#include "kern_descriptors.h"
#include "kern_timerqueue.h"
#include "kern_timers.h"
#include "kern_watchdog.h"
#include "platform/core_winsock.h"

namespace kern {

class Kernel;

// A veto on stopping the kernel.  At most one per kernel; destroying an
// attached handler detaches it.
class ShutdownHandler {
  public:
    ShutdownHandler() = default;
    virtual ~ShutdownHandler();
    ShutdownHandler(const ShutdownHandler&) = delete;
    ShutdownHandler& operator=(const ShutdownHandler&) = delete;

    // False keeps the kernel running.
    virtual bool allowShutdown() = 0;
    bool isAttached() const { return d_is_attached; }

  private:
    friend class Kernel;
    bool d_is_attached = false;
    Kernel* d_kernel = nullptr;
};

// Actions run on the next loop pass, outside the callback that queued them.
class DeleteLater {
  public:
    DeleteLater();
    // Runs what is still queued.
    ~DeleteLater();
    DeleteLater(const DeleteLater&) = delete;
    DeleteLater& operator=(const DeleteLater&) = delete;

    void add(std::function<void()> action);
    // Takes the whole list, calls every action in order, discards them.
    void runPending();
    size_t numPending() const { return d_actions.size(); }

  private:
    std::vector<std::function<void()>> d_actions;
    SingleShotTimer d_timer;
};

class Kernel {
  public:
    using SignalHandler = void (*)(int);

    // The calling thread's kernel, or null.
    static Kernel* current();
    // Kernels in existence.
    static int kernelCount();
    // The watchdog's period and time-out for kernels that start running
    // afterwards (10000 ms and 300000 ms unless changed).
    static void setWatchdogPeriods(int periodMs, int timeoutMs);

    // CREATORS
    Kernel(int argc, char** argv);
    virtual ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    virtual void runLoop() = 0;
    // Reacts to the signals that arrived (bit n of the 64-bit mask: signal n).
    virtual void handleArrivedSignals(uint32_t maskLow, uint32_t maskHigh);
    virtual bool installSignalHandlers();
    // Restores the handlers saved by the installation once no kernel is left.
    virtual bool restoreSignalHandlers();
    virtual void requestStop() = 0;
    // Any thread: makes the loop leave its wait at once and run the wake
    // handler on its own thread.  Wakes that come before the loop runs are
    // kept for its first pass.
    virtual void wake() {}

    // MANIPULATORS
    // Runs the loop until stopped; false if already running.
    bool run();
    // Ends the loop after the current pass unless the shutdown handler
    // vetoes.  Loop thread only.
    void stopKernel();
    // Applies the kernel options of the command line.
    void parseArguments(int argc, char** argv);
    // Registers 'handler' (null removes the current one).
    void setShutdownHandler(ShutdownHandler* handler);
    // Runs 'action' on the next loop pass.
    void deleteLater(std::function<void()> action);
    // What the loop runs after a 'wake' (empty: nothing).  Loop thread only.
    void setWakeHandler(std::function<void()> handler) { d_wake_handler = std::move(handler); }
    void runWakeHandler() {
        if (d_wake_handler) {
            d_wake_handler();
        }
    }

    // ACCESSORS
    bool isRunning() const { return d_running; }
    ShutdownHandler* shutdownHandler() const { return d_shutdown_handler; }
    KernelWatchdog* watchdog() const { return d_watchdog.get(); }
    DeleteLater* deferred() const { return d_delete_later.get(); }
    int argc() const { return d_argc; }
    char** argv() const { return d_argv; }

  protected:
    // Takes and clears the pending signals; false when none arrived.
    bool takePendingSignals(uint32_t* maskLow, uint32_t* maskHigh);
    // Takes the thread's managers, made by the concrete kernel in this order;
    // they register themselves with the thread and live until this kernel
    // goes.
    void adoptManagers(std::unique_ptr<TimerManager> timers,
                       std::unique_ptr<ClockTickManager> clockTicks,
                       std::unique_ptr<DescriptorManager> descriptors,
                       std::unique_ptr<VideoClockManager> videoClocks);

  private:
    static void signalHandler(int signal);
    void noteSignal(int signal);

    std::atomic<bool> d_running{false};
    ShutdownHandler* d_shutdown_handler = nullptr;
    SignalHandler d_saved_sigint = nullptr;
    SignalHandler d_saved_sigterm = nullptr;
    SignalHandler d_saved_sigbreak = nullptr;
    std::atomic<bool> d_signal_pending{false};
    std::atomic<uint32_t> d_signal_mask[2] = {0, 0};
    int d_argc = 0;
    char** d_argv = nullptr;
    std::unique_ptr<DeleteLater> d_delete_later;
    std::function<void()> d_wake_handler;
    std::unique_ptr<KernelWatchdog> d_watchdog;
    std::unique_ptr<TimerManager> d_timers;
    std::unique_ptr<ClockTickManager> d_clock_ticks;
    std::unique_ptr<DescriptorManager> d_descriptors;
    std::unique_ptr<VideoClockManager> d_video_clocks;
};

class StdKernel : public Kernel {
  public:
    // Keeps the read set non-empty so that 'select' never gets three empty
    // sets, and carries wakes from other threads into the wait: a datagram
    // socket on the loopback connected to itself, which only 'wake' writes.
    class DummyFd : public DescriptorInterface {
      public:
        explicit DummyFd(Kernel* kernel);
        ~DummyFd() override;
        SOCKET socket() const { return d_socket; }
        // Any thread: one datagram, which makes the socket readable.
        void post();
        void handleDescriptor(SOCKET fd, int type) override;

      private:
        Kernel* d_kernel;
        SOCKET d_socket;
    };

    // The 'select' time-out for the timer state given: zero with zero timers
    // pending, 1 s with no heap timers, else the time to the earliest expiry
    // (at least 1 ms, seconds capped at 1).
    static timeval selectTimeout(bool zeroTimersPending, bool heapEmpty, TimerTime now,
                                 TimerTime earliest);

    StdKernel(int argc, char** argv);
    ~StdKernel() override;

    void runLoop() override;
    void requestStop() override { d_stop = true; }
    void wake() override;

    // Installs the console signal handlers at the start of 'runLoop' (on by
    // default).
    void setInstallSignalHandlers(bool install) { d_install_signal_handlers = install; }

    TimerPriorityQueue* timerQueue() const { return d_timer_queue; }
    StdDescriptorManager* descriptorManager() const { return d_descriptor_manager; }
    uint32_t selectCount() const { return d_select_count; }
    const DummyFd* dummyFd() const { return d_dummy_fd.get(); }

  private:
    struct SelectSets;

    // Owned by the Kernel (adoptManagers).
    StdDescriptorManager* d_descriptor_manager = nullptr;
    TimerPriorityQueue* d_timer_queue = nullptr;
    bool d_stop = false;
    bool d_install_signal_handlers = true;
    std::unique_ptr<DummyFd> d_dummy_fd;
    uint32_t d_select_count = 0;
    std::unique_ptr<SelectSets> d_sets;
};

}  // namespace kern

#endif
