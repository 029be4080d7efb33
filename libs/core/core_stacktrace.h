// core_stacktrace.h                                               -*-C++-*-
//
// 'StackTrace': records the calling thread's stack when a check fails, holds
// the stop-on-failed-check setting and the exclusion list of the initial
// check handler, and stops the process the one way it is ever stopped on
// purpose: log the reason and the stack, let the log output write what it
// holds, abort (the system's core-dump handler takes it from there).
//
// Thread safety: any thread may call anything here.
#ifndef INCLUDED_CORE_STACKTRACE
#define INCLUDED_CORE_STACKTRACE

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace core {

class StackTrace {
  public:
    // The calling thread's stack, one frame a line ("#0 symbol"), leaving out
    // the 'skip' innermost frames besides this function itself.
    static std::string currentStack(int skip = 0);

    // Records a failed check described by 'what': logs the stack (CRIT when
    // the process is about to stop, INFO otherwise); when stopping, also
    // writes 'what' and the stack to standard error.
    static void recordFailure(std::string_view what, bool stopping);

    // Logs CRIT 'reason' with 'tag', then the calling thread's stack, and
    // stops the process.
    [[noreturn]] static void abortWithStack(std::string_view tag, std::string_view reason);

    // Lets the log output write what it holds, then aborts.
    [[noreturn]] static void stopProcess();

    // Whether a failed check stops the process (on by default).
    static void setStopOnFailedCheck(bool stop);
    static bool stopOnFailedCheck();

    // Failed checks at these (file stem, line) pairs are only reported.
    static void setExclusions(std::vector<std::pair<std::string, int>> exclusions);
    static bool isExcluded(std::string_view file, int line);
};

}  // namespace core

#endif
