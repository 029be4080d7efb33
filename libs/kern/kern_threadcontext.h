// kern_threadcontext.h                                            -*-C++-*-
//
// 'KernelThreadContext': the per-thread record through which every kernel
// object finds its thread's timer manager, descriptor manager, current kernel,
// clock-tick manager and video clock manager.  Each manager registers itself
// here when created and unregisters when destroyed; nothing in the kernel
// family is found through globals.
//
// Thread safety: each thread sees only its own record.  The record is plain
// data, so a signal handler may read it.
#ifndef INCLUDED_KERN_THREADCONTEXT
#define INCLUDED_KERN_THREADCONTEXT

namespace kern {

class TimerManager;
class DescriptorManager;
class Kernel;
class ClockTickManager;
class VideoClockManager;

struct KernelThreadContext {
    TimerManager* d_timer_manager;
    DescriptorManager* d_descriptor_manager;
    Kernel* d_kernel;
    ClockTickManager* d_clock_tick_manager;
    VideoClockManager* d_video_clock_manager;

    // The calling thread's record (all entries null on a new thread).
    static KernelThreadContext& current();
};

}  // namespace kern

#endif
