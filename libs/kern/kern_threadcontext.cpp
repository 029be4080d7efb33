#include "kern_threadcontext.h"

namespace kern {

namespace {
// Zero-initialised and trivially destructible: no guard, no allocation, so it
// can be reached from a signal handler.
thread_local KernelThreadContext t_context;
}  // namespace

KernelThreadContext& KernelThreadContext::current() {
    return t_context;
}

}  // namespace kern
