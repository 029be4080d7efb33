// core_platform.h                                                 -*-C++-*-
//
// Small process-level services that differ between the platforms: the
// monotonic millisecond tick count, the process id, the console "break"
// signal, keeping console signals off helper threads, and the readable name
// of a run-time type.
//
// Thread safety: every function may be called from any thread.
#ifndef INCLUDED_CORE_PLATFORM
#define INCLUDED_CORE_PLATFORM

#include <csignal>
#include <cstdint>
#include <string>
#include <typeinfo>

namespace core {

// Milliseconds since an arbitrary fixed point (system start-up); never goes
// back.
int64_t tickCountMs();

// The id of this process.
int processId();

// The signal of the console's "break" key: SIGBREAK on Windows, SIGQUIT
// (Ctrl-\) elsewhere.  Signal 21 means something else on POSIX systems and is
// never touched.
#ifdef _WIN32
inline constexpr int k_BREAK_SIGNAL = SIGBREAK;
#else
inline constexpr int k_BREAK_SIGNAL = SIGQUIT;
#endif

// Keeps SIGINT, SIGTERM and the break signal off the calling thread, so that
// they reach the thread running the event loop.  Call at the start of helper
// threads.  Does nothing where signals are not thread-directed.
void blockConsoleSignalsOnThisThread();

// The class name of 'type' as the platform spells it in source form
// ("kern::SingleShotTimer").
std::string readableTypeName(const std::type_info& type);

}  // namespace core

#endif
