// core_assert.h                                                   -*-C++-*-
//
// The check facility.  A failed check carries an expression text ("CHECKF" for
// the usual form), the source file name without extension, the line, a
// severity and a message, and goes to the installed failure handler, which
// answers whether the process must stop.  By default it logs CRIT
// "GASSERT failed at %s:%d (%s) (%s)" and stops; the kernel option
// "no_crash_on_gassert" switches stopping off.
//
// Checks that data from outside (the NVR's bytes, the settings file, WMI
// values, the file system) can reach use the *_NOSTOP forms: they report
// exactly like a failed check but never stop the process.
//
// Thread safety: any thread may fail a check.
#ifndef INCLUDED_CORE_ASSERT
#define INCLUDED_CORE_ASSERT

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core_varargs.h"

namespace core {

// Answers the file name of 'path' without folders and extension, at compile
// time: "libs/core/core_varargs.cpp" gives "core_varargs".
constexpr std::string_view fileStem(std::string_view path) {
    size_t slash = path.find_last_of("/\\");
    if (slash != std::string_view::npos) {
        path.remove_prefix(slash + 1);
    }
    size_t dot = path.find('.');
    return dot == std::string_view::npos ? path : path.substr(0, dot);
}

class Assert {
  public:
    // Answers true when the process must stop.
    using FailureHandler = bool (*)(const char* expr, std::string_view file, int line, int severity,
                                    std::string_view message);

    // Reports a failed check; stops the process when the handler says so.
    static void fail(const char* expr, std::string_view file, int line, int severity,
                     std::string_view message);
    // Reports exactly like 'fail' but never stops the process.
    static void failNoStop(const char* expr, std::string_view file, int line, int severity,
                           std::string_view message);
    // Logs CRIT "GALERT at %s:%d (%s) (%s)"; never stops.
    static void alert(const char* expr, std::string_view file, int line, std::string_view message);

    // Installs the plain standard-error handler unless handlers are locked.
    static void setFailureHandler();
    static void setFailureHandler(FailureHandler handler);
    static void lockHandlers(bool locked);

    // 0 or 1 (clamped); checks with a higher severity are not reported.
    static void setCheckLevel(int level);
    static int checkLevel();

    // The stop-on-failed-check setting of the initial handler (on by default).
    static void setStopOnFailedCheck(bool stop);
    static bool stopOnFailedCheck();

    // Checks that do not stop are the ones outside data can reach, so a peer
    // repeating a fault could fill the log with them.  With a rate class of
    // the logger (1 to 12), the initial handler reports each such site in
    // full (line and stack trace) only when that class lets the site's key
    // through, followed by a line counting the failures since the last full
    // report.  0, the default, reports every failure in full.
    static void setNoStopRateClass(int rateClass);
    static int noStopRateClass();

    // Failures at these (file, line) pairs are logged as EXCLUDED_ASSERT only.
    static void setExclusions(std::vector<std::pair<std::string, int>> exclusions);

    // The handlers of the facility.
    static bool failDefault(const char* expr, std::string_view file, int line, int severity,
                            std::string_view message);
    static bool failToStderr(const char* expr, std::string_view file, int line, int severity,
                             std::string_view message);
};

namespace assert_detail {
inline std::string message() {
    return std::string();
}
template <class... Args>
std::string message(const char* format, const Args&... args) {
    return strFormat(format, args...);
}
}  // namespace assert_detail

}  // namespace core

#define CORE_FILE_STEM (::core::fileStem(__FILE__))

// CHECKF(cond [, format, args...]): evaluates to 'cond' as a bool; reports a
// failed check when it is false.
#define CHECKF(cond, ...) CHECKF_AT(cond, CORE_FILE_STEM, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// The same with an explicit source name and line.
#define CHECKF_AT(cond, file, line, ...)                                          \
    ((cond) ? true                                                                \
            : (::core::Assert::fail("CHECKF", (file), (line), 0,                  \
                                    ::core::assert_detail::message(__VA_ARGS__)), \
               false))

// Checks reachable by outside data: report, never stop.
#define CHECKF_NOSTOP(cond, ...) \
    CHECKF_NOSTOP_AT(cond, CORE_FILE_STEM, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#define CHECKF_NOSTOP_AT(cond, file, line, ...)                                         \
    ((cond) ? true                                                                      \
            : (::core::Assert::failNoStop("CHECKF", (file), (line), 0,                  \
                                          ::core::assert_detail::message(__VA_ARGS__)), \
               false))

// GALERT(cond [, format, args...]): evaluates to 'cond'; when it is false logs
// CRIT "GALERT at ..." with the condition as text.  Never stops.
#define GALERT(cond, ...)                                                          \
    ((cond) ? true                                                                 \
            : (::core::Assert::alert(#cond, CORE_FILE_STEM, __LINE__,              \
                                     ::core::assert_detail::message(__VA_ARGS__)), \
               false))

// A check whose expression text is the condition itself.
#define GASSERT(cond) \
    ((cond) ? true : (::core::Assert::fail(#cond, CORE_FILE_STEM, __LINE__, 0, {}), false))

#endif
