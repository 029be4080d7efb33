// core_v2masterlogger.h                                           -*-C++-*-
//
// The process-wide 'MasterLogger'.  A log call names a type (CRIT, WARN, INFO,
// NORM or a type registered later), a tag (the qualified name of the caller)
// and a message.  Call sites test the type's bit in 'g_log_mask' first (the
// LOG_* macros do), so a disabled type costs one memory test.  Lines are
// numbered by thread, optionally echoed to standard output, and handed to the
// installed 'LogImpl' (the service installs the rotating file logger).
//
// Thread safety: any thread may log.  Type administration is confined to the
// thread that created the logger (the main thread: it is created while the
// process starts).
#ifndef INCLUDED_CORE_V2MASTERLOGGER
#define INCLUDED_CORE_V2MASTERLOGGER

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core_varargs.h"

namespace core {

// Standard log types.  Type 0 is capture-to-string and is always delivered.
enum LogType : int { LOG_2STRING = 0, LOG_CRIT = 1, LOG_WARN = 2, LOG_INFO = 3, LOG_NORM = 4 };

constexpr int k_MAX_LOG_TYPES = 1024;

// Bit n (byte n/8, bit n%8) is set when log type n is enabled.  Read without
// locks at every call site.
extern unsigned char g_log_mask[k_MAX_LOG_TYPES / 8];

inline bool isLogEnabled(int type) {
    // A relaxed load: as cheap as a plain read, and well-defined while the
    // creating thread changes the mask.
    return type == 0 ||
           (static_cast<unsigned>(type) < static_cast<unsigned>(k_MAX_LOG_TYPES) &&
            (__atomic_load_n(&g_log_mask[type >> 3], __ATOMIC_RELAXED) >> (type & 7)) & 1);
}

// Bits of a type's flags.
enum LogTypeFlag : uint8_t {
    e_LOG_ENABLED = 1,   // mirrored in 'g_log_mask'
    e_LOG_TO_IMPL = 2,   // hand to the output implementation, observers, history
    e_LOG_ECHO = 4,      // echo to standard output
    e_LOG_OBSERVED = 8,  // some observer wants the type
    e_LOG_HISTORY = 16   // keep in the history ring
};

// Location numbers printed after "\nERROR in core_v2masterlogger:" when the
// type administration is misused.
namespace logger_loc {
constexpr int k_REGISTER_THREAD = 229;
constexpr int k_REGISTER_FULL = 235;
constexpr int k_ECHO_THREAD = 253;
constexpr int k_ECHO_RANGE = 260;
constexpr int k_SET_CODE_THREAD = 344;
constexpr int k_SET_CODE_RANGE = 350;
constexpr int k_CODE_THREAD = 363;
constexpr int k_CODE_RANGE = 369;
constexpr int k_INVALID_TYPE = 387;
constexpr int k_FIND_THREAD = 438;
constexpr int k_FIND_NAME = 444;
constexpr int k_SET_IMPL_THREAD = 464;
constexpr int k_MASK_THREAD = 632;
constexpr int k_MASK_RANGE = 638;
constexpr int k_OBSERVER_THREAD = 673;
constexpr int k_OBSERVER_REENTERED = 802;
}  // namespace logger_loc

// Output implementation: receives every line of a type with a non-zero code.
class LogImpl {
  public:
    virtual ~LogImpl();
    // 'typeName' may be null.  Called under the logger mutex.
    virtual void log(int type, unsigned threadNumber, const char* typeName, int code,
                     std::string_view text) = 0;
};

// Discards everything; installed until another implementation is.
class DefaultLogImpl : public LogImpl {
  public:
    void log(int, unsigned, const char*, int, std::string_view) override {}
};

// Rate-limited output.  'produce' builds the message only when it is written.
class LogRImpl {
  public:
    virtual ~LogRImpl();
    virtual void logRate(int rateClass, int type, unsigned threadNumber, std::string_view key,
                         const std::function<std::string()>& produce) = 0;
    // Writes the count of occurrences held back since a key's last line:
    // for keys whose quiet period has ended, or for every key when 'all'.
    virtual void reportPending(bool all);
};

// The limiters of classes 1 to 12 (every 10th ... once per 86400 s).  The
// occurrences a limiter held back are reported as the key followed by
// " [%d times in %ld seconds]" once the key's period (60 s for the count
// classes) has passed since its last line, so that the end of a burst is
// never silent.
class DefaultLogRImpl : public LogRImpl {
  public:
    static constexpr int64_t k_COUNT_CLASS_QUIET_SECONDS = 60;

    DefaultLogRImpl();
    ~DefaultLogRImpl() override;
    void logRate(int rateClass, int type, unsigned threadNumber, std::string_view key,
                 const std::function<std::string()>& produce) override;
    void reportPending(bool all) override;

  private:
    struct Limiters;
    std::unique_ptr<Limiters> d_limiters;
};

// Gets the lines of the types it registered for.
class GlobalLogObserver {
  public:
    explicit GlobalLogObserver(std::vector<int> types);
    virtual ~GlobalLogObserver();
    virtual void notify(int type, unsigned threadNumber, const char* typeName,
                        std::string_view text) = 0;
    const std::vector<int>& types() const { return d_types; }

  private:
    friend class MasterLogger;
    std::vector<int> d_types;
    bool d_in_notify = false;
    bool d_registered = false;
};

// Collects lines logged with type 0 on the constructing thread.
class LogCapture {
  public:
    explicit LogCapture(int lineLimit = 1000);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    const std::string& text() const { return d_text; }
    int lineCount() const { return d_lines; }

  private:
    friend class MasterLogger;
    void append(std::string_view line);
    void unregister();
    int d_limit;
    int d_lines = 0;
    bool d_registered = false;
    std::string d_text;
    LogCapture* d_next = nullptr;  // the thread's captures form a list
};

// One entry of the history ring.
struct LogHistoryEntry {
    int64_t d_monotonic_ms;
    std::string d_type_name;
    std::string d_text;
};

class MasterLogger {
  public:
    // LOGGING
    // Joins 'tag' (without a leading "NS_") and 'message' and delivers the line.
    static void log(int type, std::string_view tag, std::string_view message);

    // Builds the message with the format engine, then as 'log'.
    template <class... Args>
    static void logf(int type, std::string_view tag, const char* format, const Args&... args) {
        if constexpr (sizeof...(Args) == 0) {
            logFormatted(type, tag, format, nullptr, 0);
        } else {
            const FormatArg packed[] = {varargs_detail::make(args)...};
            logFormatted(type, tag, format, packed, static_cast<int>(sizeof...(Args)));
        }
    }

    // 'logf' with the arguments already converted: formats straight into the
    // joined line.
    static void logFormatted(int type, std::string_view tag, const char* format,
                             const FormatArg* args, int numArgs);

    // Rate-limited: 'message' is also the key.  Class 0 means no limit.
    static void logRate(int rateClass, int type, std::string_view message);
    // The same with the line built by 'produce', called only when the line
    // is written (outside the logger's locks; it may log itself).
    static void logRate(int rateClass, int type, std::string_view key,
                        const std::function<std::string()>& produce);

    // Rate-limited per call site: every line of the site counts against one
    // key, the joined tag and format, whatever its arguments; a line that is
    // written carries the arguments of its own call.
    template <class... Args>
    static void logRateSite(int rateClass, int type, std::string_view tag, const char* format,
                            const Args&... args) {
        if constexpr (sizeof...(Args) == 0) {
            logRateSiteFormatted(rateClass, type, tag, format, nullptr, 0);
        } else {
            const FormatArg packed[] = {varargs_detail::make(args)...};
            logRateSiteFormatted(rateClass, type, tag, format, packed,
                                 static_cast<int>(sizeof...(Args)));
        }
    }
    static void logRateSiteFormatted(int rateClass, int type, std::string_view tag,
                                     const char* format, const FormatArg* args, int numArgs);

    // Has the rate limiter write what it held back: the counts of keys whose
    // quiet period has ended, or of every key when 'all' (at shutdown).  The
    // file logger calls it on each of its ticks.
    static void reportPendingRates(bool all = false);

    // Writes "Log at %s:%d", "Log at %s:%d - %s", "Log at %s:%d (%s)" or
    // "Log at %s:%d (%s) - %s" for empty/non-empty function and message.
    static void logAt(int type, std::string_view file, int line, std::string_view function,
                      std::string_view message);

    // The calling thread's number (0 for the thread that created the logger).
    static unsigned threadNumber();

    // TYPE ADMINISTRATION (creating thread only; misuse is reported and ignored)
    // Registers 'name' (cut to 15 bytes, colour to 5) and answers its number,
    // or 0 when the table is full.  A name registered before answers the
    // number it got then, so that enabling by name reaches every user.
    static int registerType(const char* name, const char* colour);
    // Answers the number of the type called exactly 'name', or 0.
    static int findType(std::string_view name);
    static const char* typeName(int type);  // null when out of range
    static int numTypes();
    static int code(int type);
    static void setCode(int type, int code);  // types 4 and up only
    // ORs 'code' into the type's code.  A type whose code stays 0 reaches no
    // output (unless echoed, observed or kept in the history).
    static void enable(int type, int code);
    // Enables 'type' with its standard code: CRIT 1, WARN 2, INFO 4, and
    // INFO's 4 for NORM and registered types.
    static void enable(int type);
    // Clears the type's code, console echo and history: the type is off
    // unless an observer wants it.
    static void disable(int type);
    static void setConsoleEcho(int type, bool on);
    static bool consoleEcho(int type);
    static void setHistory(int type, bool on);

    // OUTPUT
    // Installs 'impl' (a new 'DefaultLogImpl' when null); destroys the old one.
    static void setImpl(std::unique_ptr<LogImpl> impl);
    static void setRImpl(std::unique_ptr<LogRImpl> impl);
    // Installs a hook that sees every console-echoed line (null removes it).
    static void setConsoleHook(std::function<void(std::string_view)> hook);

    // OBSERVERS AND HISTORY
    static void addObserver(GlobalLogObserver* observer);
    static void removeObserver(GlobalLogObserver* observer);
    static void setHistoryCapacity(size_t capacity);
    static std::vector<LogHistoryEntry> history();

    // MORE ACCESSORS
    static const char* typeColour(int type);  // null when out of range
    static int typeFlags(int type);           // 0 when out of range
    // True on the thread that created the logger (the one numbered 0).
    static bool isAdminThread();

    // CLOCK
    // The monotonic clock of rate limiting and history, in milliseconds.
    // Tests install their own; null restores the platform clock.
    using MonotonicClock = int64_t (*)();
    static void setMonotonicClock(MonotonicClock clock);
    static int64_t monotonicMs();

    // Before the process aborts: destroys the installed implementation (so a
    // buffering one writes what it holds) if the logger mutex can be had
    // within about a second, unless this thread already holds it or is inside
    // the implementation.
    static void releaseImplForAbort();

    // Delivers an already-joined line of 'type' (used by the rate limiter).
    static void deliver(int type, std::string_view line);

  private:
    // Hands a line to the implementation, the observers and the history.
    static void implLog(int type, unsigned threadNumber, std::string_view text);
    // Calls the observers that want 'type' (logger mutex held).
    static void notifyObservers(int type, unsigned threadNumber, const char* typeName,
                                std::string_view text);
};

// Holds the installed implementation for the lifetime of the object.
class Globals {
  public:
    explicit Globals(std::unique_ptr<LogImpl> impl);
    virtual ~Globals();
};

class DefaultGlobals : public Globals {
  public:
    DefaultGlobals() : Globals(std::make_unique<DefaultLogImpl>()) {}
};

// Longest quotation of outside text in a log line, escapes included.
constexpr size_t k_LOG_SAFE_LIMIT = 256;

// Makes text that came from outside (the NVR's names and values) safe to
// quote in a log line: control characters become escapes ("\n", "\r", "\t",
// "\x1b"), so the text cannot end its line and forge the next one, and what
// goes beyond 'limit' bytes is cut (never inside an escape or a UTF-8
// sequence) and noted with its full length, as in "…(1048576 bytes)".
std::string logSafe(std::string_view text, size_t limit = k_LOG_SAFE_LIMIT);

}  // namespace core

// Log call sites.  The mask test comes before anything is built.
#define CORE_LOG(type, tag, ...)                                    \
    do {                                                            \
        if (::core::isLogEnabled(type)) {                           \
            ::core::MasterLogger::logf((type), (tag), __VA_ARGS__); \
        }                                                           \
    } while (0)

#define LOG_CRIT(tag, ...) CORE_LOG(::core::LOG_CRIT, tag, __VA_ARGS__)
#define LOG_WARN(tag, ...) CORE_LOG(::core::LOG_WARN, tag, __VA_ARGS__)
#define LOG_INFO(tag, ...) CORE_LOG(::core::LOG_INFO, tag, __VA_ARGS__)
#define LOG_NORM(tag, ...) CORE_LOG(::core::LOG_NORM, tag, __VA_ARGS__)

// Rate-limited call site: LOG_RATE(rateClass, type, format, args...).
#define LOG_RATE(rateClass, type, ...)                                                          \
    do {                                                                                        \
        if (::core::isLogEnabled(type)) {                                                       \
            ::core::MasterLogger::logRate((rateClass), (type), ::core::strFormat(__VA_ARGS__)); \
        }                                                                                       \
    } while (0)

// Rate-limited per call site (see 'MasterLogger::logRateSite'):
// LOG_RATE_SITE(rateClass, type, tag, format, args...).
#define LOG_RATE_SITE(rateClass, type, tag, ...)                                        \
    do {                                                                                \
        if (::core::isLogEnabled(type)) {                                               \
            ::core::MasterLogger::logRateSite((rateClass), (type), (tag), __VA_ARGS__); \
        }                                                                               \
    } while (0)

#endif
