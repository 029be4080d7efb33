#include "core_v2masterlogger.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "core_assert.h"

namespace core {

unsigned char g_log_mask[k_MAX_LOG_TYPES / 8] = {2 | 4 | 8};

LogImpl::~LogImpl() = default;
LogRImpl::~LogRImpl() = default;
void LogRImpl::reportPending(bool) {}

namespace {

constexpr size_t k_HISTORY_CAPACITY = 400;
constexpr int k_INITIAL_TYPES = 5;

struct Slot {
    char d_name[16];
    char d_colour[6];
    std::atomic<uint8_t> d_flags;
    std::atomic<uint8_t> d_code;
};

struct State {
    Slot* d_table;
    std::atomic<int> d_count{k_INITIAL_TYPES};
    std::thread::id d_creator = std::this_thread::get_id();
    std::atomic<bool> d_replacing{false};
    std::atomic<unsigned> d_next_thread{1};

    std::mutex d_mutex;  // implementation, observers, history
    std::unique_ptr<LogImpl> d_impl = std::make_unique<DefaultLogImpl>();
    std::vector<GlobalLogObserver*> d_observers;
    std::deque<LogHistoryEntry> d_history;
    size_t d_history_capacity = k_HISTORY_CAPACITY;

    std::mutex d_rate_mutex;  // guards the pointer only; the limiter locks itself
    std::shared_ptr<LogRImpl> d_rimpl = std::make_shared<DefaultLogRImpl>();

    std::mutex d_hook_mutex;
    std::shared_ptr<std::function<void(std::string_view)>> d_hook;

    State();
};

// Per-thread log context.  Plain values only, so they stay usable while the
// thread (or the process) is being torn down.
thread_local unsigned t_number = UINT_MAX;
thread_local bool t_in_impl = false;
thread_local bool t_in_hook = false;
thread_local LogCapture* t_captures = nullptr;
// Set while this thread holds the logger mutex ('ImplLock').
thread_local bool t_holds_impl_mutex = false;

// Holds the logger mutex and marks the thread as its holder, so that an
// abort raised while it is held (by an implementation's destructor, say)
// knows not to take it again.
class ImplLock {
  public:
    explicit ImplLock(std::mutex& mutex) : d_lock(mutex) { t_holds_impl_mutex = true; }
    ~ImplLock() { t_holds_impl_mutex = false; }
    ImplLock(const ImplLock&) = delete;
    ImplLock& operator=(const ImplLock&) = delete;

  private:
    std::lock_guard<std::mutex> d_lock;
};

std::atomic<MasterLogger::MonotonicClock> s_clock{nullptr};

void copyCut(char* dst, size_t dstSize, const char* src) {
    std::memset(dst, 0, dstSize);
    if (src) {
        std::strncpy(dst, src, dstSize - 1);
    }
}

// Stores 'name' in a 16-byte field: at most 15 bytes, never ending inside a
// UTF-8 sequence.
void setName(Slot& slot, const char* name) {
    std::memset(slot.d_name, 0, sizeof slot.d_name);
    if (!name) {
        return;
    }
    size_t len = std::strlen(name);
    if (len > sizeof slot.d_name - 1) {
        len = sizeof slot.d_name - 1;
        while (len > 0 && (static_cast<unsigned char>(name[len]) & 0xC0) == 0x80) {
            --len;
        }
    }
    std::memcpy(slot.d_name, name, len);
}

void initSlot(Slot& slot, const char* name, const char* colour, uint8_t code, uint8_t flags) {
    setName(slot, name);
    copyCut(slot.d_colour, sizeof slot.d_colour, colour);
    slot.d_code.store(code, std::memory_order_relaxed);
    slot.d_flags.store(flags, std::memory_order_relaxed);
}

State::State() : d_table(new Slot[k_MAX_LOG_TYPES]) {
    for (int i = 0; i < k_MAX_LOG_TYPES; ++i) {
        initSlot(d_table[i], nullptr, nullptr, 0, 0);
    }
    initSlot(d_table[LOG_2STRING], "LOG2STRING", "", 0, 0);
    initSlot(d_table[LOG_CRIT], "CRIT", "1;31", 1, e_LOG_ENABLED | e_LOG_TO_IMPL | e_LOG_ECHO);
    initSlot(d_table[LOG_WARN], "WARN", "1;34", 2, e_LOG_ENABLED | e_LOG_TO_IMPL);
    initSlot(d_table[LOG_INFO], "INFO", "1", 4, e_LOG_ENABLED | e_LOG_TO_IMPL);
    initSlot(d_table[LOG_NORM], "NORM", "", 0, 0);
    for (unsigned char& byte : g_log_mask) {
        __atomic_store_n(&byte, 0, __ATOMIC_RELAXED);
    }
    __atomic_store_n(&g_log_mask[0], 2 | 4 | 8, __ATOMIC_RELAXED);
}

// Created on first use and never freed, so threads that still log while the
// process exits find it; the teardown below only releases the outputs.
State& state() {
    static State* s = new State;
    return *s;
}

// Creates the logger while the process starts, on its main thread.
const bool s_created = (state(), true);

struct Teardown {
    ~Teardown() {
        // What the limiters held back is the last word of a burst.
        MasterLogger::reportPendingRates(true);
        for (unsigned char& byte : g_log_mask) {
            __atomic_store_n(&byte, 0, __ATOMIC_RELAXED);
        }
        State& st = state();
        std::unique_ptr<LogImpl> old;
        {
            ImplLock lock(st.d_mutex);
            st.d_replacing.store(true);
            old = std::move(st.d_impl);
            old.reset();  // a buffering implementation writes what it holds
            st.d_impl = std::make_unique<DefaultLogImpl>();
            st.d_replacing.store(false);
        }
    }
} s_teardown;

void reportError(int location) {
    std::printf("\nERROR in core_v2masterlogger:%d", location);
    std::fflush(stdout);
}

bool checkAdminThread(int location) {
    if (std::this_thread::get_id() == state().d_creator) {
        return true;
    }
    reportError(location);
    return false;
}

// Valid numbers for administration: registered types other than 0.
bool checkRange(int type, int location, int lowest = 1) {
    if (type >= lowest && type < state().d_count.load(std::memory_order_acquire)) {
        return true;
    }
    reportError(location);
    return false;
}

void setMaskBit(int type, bool on) {
    unsigned char* byte = &g_log_mask[type >> 3];
    const auto bit = static_cast<unsigned char>(1u << (type & 7));
    if (on) {
        __atomic_fetch_or(byte, bit, __ATOMIC_RELAXED);
    } else {
        __atomic_fetch_and(byte, static_cast<unsigned char>(~bit), __ATOMIC_RELAXED);
    }
}

// Restores the invariant of a slot after any change of it.
void recompute(int type) {
    Slot& slot = state().d_table[type];
    uint8_t flags = slot.d_flags.load() & (e_LOG_ECHO | e_LOG_OBSERVED | e_LOG_HISTORY);
    if (slot.d_code.load() != 0 || (flags & (e_LOG_OBSERVED | e_LOG_HISTORY))) {
        flags |= e_LOG_TO_IMPL;
    }
    if (flags & (e_LOG_TO_IMPL | e_LOG_ECHO)) {
        flags |= e_LOG_ENABLED;
    }
    slot.d_flags.store(flags);
    setMaskBit(type, flags & e_LOG_ENABLED);
}

void changeFlag(int type, uint8_t flag, bool on) {
    Slot& slot = state().d_table[type];
    if (on) {
        slot.d_flags.fetch_or(flag);
    } else {
        slot.d_flags.fetch_and(static_cast<uint8_t>(~flag));
    }
    recompute(type);
}

// "  <[NAME] {n} text>" after a diagnostic header, written with one call.
void writeDiverted(FILE* to, const char* header, const Slot& slot, unsigned thread,
                   std::string_view text) {
    std::string line = strFormat("%s  <[%s] {%u} %s>\n", header, slot.d_name, thread, text);
    std::fwrite(line.data(), 1, line.size(), to);
    std::fflush(to);
}

void echo(const Slot& slot, unsigned thread, std::string_view text) {
    std::string line = thread == 0 ? strFormat("[%s] %s", slot.d_name, text)
                                   : strFormat("[%s] {%u} %s", slot.d_name, thread, text);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);

    State& st = state();
    std::shared_ptr<std::function<void(std::string_view)>> hook;
    {
        std::lock_guard<std::mutex> lock(st.d_hook_mutex);
        hook = st.d_hook;
    }
    if (hook && !t_in_hook) {
        t_in_hook = true;
        (*hook)(std::string_view(line.data(), line.size() - 1));
        t_in_hook = false;
    }
}

int64_t platformMonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

// ---------------------------------------------------------------- LogCapture

LogCapture::LogCapture(int lineLimit) : d_limit(lineLimit) {
    state();
    if (d_limit <= 0) {
        return;  // at its limit already
    }
    d_next = t_captures;
    t_captures = this;
    d_registered = true;
}

LogCapture::~LogCapture() {
    unregister();
}

void LogCapture::unregister() {
    if (!d_registered) {
        return;
    }
    for (LogCapture** p = &t_captures; *p; p = &(*p)->d_next) {
        if (*p == this) {
            *p = d_next;
            break;
        }
    }
    d_next = nullptr;
    d_registered = false;
}

void LogCapture::append(std::string_view line) {
    if (d_lines > 0) {
        d_text.push_back('\n');
    }
    d_text.append(line);
    if (++d_lines >= d_limit) {
        unregister();
    }
}

// --------------------------------------------------------- GlobalLogObserver

GlobalLogObserver::GlobalLogObserver(std::vector<int> types) : d_types(std::move(types)) {}

GlobalLogObserver::~GlobalLogObserver() {
    if (d_registered) {
        MasterLogger::removeObserver(this);
    }
}

// ------------------------------------------------------------ DefaultLogRImpl

struct DefaultLogRImpl::Limiters {
    struct Record {
        int64_t d_last_written = -1;  // monotonic seconds; -1: never
        int64_t d_count = 0;
        int64_t d_count_at_last = 0;
    };
    struct KeyLess {
        using is_transparent = void;
        template <class A, class B>
        bool operator()(const A& a, const B& b) const {
            if (a.first != b.first) {
                return a.first < b.first;
            }
            return std::string_view(a.second) < std::string_view(b.second);
        }
    };
    struct Limiter {
        std::map<std::pair<int, std::string>, Record, KeyLess> d_records;
    };
    // A limiter keeps a record per distinct message; messages that carry
    // changing values would otherwise grow it without bound.
    static constexpr size_t k_MAX_KEYS = 4096;
    std::mutex d_mutex;  // the rate mutex
    std::unique_ptr<Limiter> d_by_class[13];
};

DefaultLogRImpl::DefaultLogRImpl() : d_limiters(std::make_unique<Limiters>()) {}
DefaultLogRImpl::~DefaultLogRImpl() = default;

namespace {
constexpr int64_t k_RATE_COUNT[13] = {0, 10, 50, 100, 500, 1000, 0, 0, 0, 0, 0, 0, 0};
constexpr int64_t k_RATE_SECONDS[13] = {0, 0, 0, 0, 0, 0, 60, 300, 900, 1800, 3600, 21600, 86400};
}  // namespace

void DefaultLogRImpl::logRate(int rateClass, int type, unsigned, std::string_view key,
                              const std::function<std::string()>& produce) {
    const auto& k_COUNT = k_RATE_COUNT;
    const auto& k_SECONDS = k_RATE_SECONDS;
    if (!isLogEnabled(type)) {
        return;
    }
    if (rateClass < 1 || rateClass > 12) {
        MasterLogger::deliver(type, produce());
        return;
    }
    int64_t occurrences = 0;
    int64_t seconds = 0;
    {
        std::lock_guard<std::mutex> lock(d_limiters->d_mutex);
        auto& limiter = d_limiters->d_by_class[rateClass];
        if (!limiter) {
            limiter = std::make_unique<Limiters::Limiter>();
        }
        auto& records = limiter->d_records;
        auto it = records.find(std::pair<int, std::string_view>(type, key));
        if (it == records.end()) {
            if (records.size() >= Limiters::k_MAX_KEYS) {
                records.clear();
            }
            it = records.emplace(std::make_pair(type, std::string(key)), Limiters::Record{}).first;
        }
        Limiters::Record& r = it->second;
        const int64_t now = MasterLogger::monotonicMs() / 1000;
        const int64_t since = r.d_count - r.d_count_at_last + 1;
        ++r.d_count;
        bool write = r.d_count == 1;
        if (!write) {
            write = k_COUNT[rateClass] ? since >= k_COUNT[rateClass]
                                       : now - r.d_last_written >= k_SECONDS[rateClass];
        }
        if (!write) {
            return;
        }
        if (r.d_last_written < 0) {
            r.d_last_written = now;
        }
        occurrences = since;
        seconds = now - r.d_last_written;
        r.d_last_written = now;
        r.d_count_at_last = r.d_count;
    }
    // Built and delivered outside the rate mutex: the producer and the
    // output may log themselves.
    MasterLogger::deliver(
        type, strFormat("%s [%d times in %ld seconds]", produce(), occurrences, seconds));
}

void DefaultLogRImpl::reportPending(bool all) {
    std::vector<std::pair<int, std::string>> lines;
    {
        std::lock_guard<std::mutex> lock(d_limiters->d_mutex);
        const int64_t now = MasterLogger::monotonicMs() / 1000;
        for (int rateClass = 1; rateClass <= 12; ++rateClass) {
            const auto& limiter = d_limiters->d_by_class[rateClass];
            if (!limiter) {
                continue;
            }
            const int64_t quiet =
                k_RATE_COUNT[rateClass] ? k_COUNT_CLASS_QUIET_SECONDS : k_RATE_SECONDS[rateClass];
            for (auto& [key, r] : limiter->d_records) {
                const int64_t pending = r.d_count - r.d_count_at_last;
                if (pending <= 0 || (!all && now - r.d_last_written < quiet)) {
                    continue;
                }
                lines.emplace_back(key.first, strFormat("%s [%d times in %ld seconds]", key.second,
                                                        pending, now - r.d_last_written));
                r.d_last_written = now;
                r.d_count_at_last = r.d_count;
            }
        }
    }
    for (const auto& [type, line] : lines) {
        if (isLogEnabled(type)) {
            MasterLogger::deliver(type, line);
        }
    }
}

// --------------------------------------------------------------- MasterLogger

namespace {

std::string_view printedTag(std::string_view tag) {
    if (tag.substr(0, 3) == "NS_") {
        tag.remove_prefix(3);
    }
    return tag;
}

// Whether a message is appended to its tag without " - ".
bool joinsDirectly(std::string_view message) {
    return message.empty() || message[0] == '(' || message[0] == ':' || message[0] == '-';
}

}  // namespace

namespace {

// The tag (without "NS_") and the message as one line.
std::string joined(std::string_view tag, std::string_view message) {
    tag = printedTag(tag);
    std::string line;
    line.reserve(tag.size() + message.size() + 3);
    line.append(tag);
    if (!joinsDirectly(message)) {
        line.append(" - ");
    }
    line.append(message);
    return line;
}

std::string joinFormatted(std::string_view tag, const char* format, const FormatArg* args,
                          int numArgs) {
    tag = printedTag(tag);
    std::string line;
    vAppendFormat(&line, tag, format, args, numArgs);
    line.insert(tag.size(), joinsDirectly(std::string_view(line).substr(tag.size())) ? "" : " - ");
    return line;
}

}  // namespace

void MasterLogger::log(int type, std::string_view tag, std::string_view message) {
    deliver(type, joined(tag, message));
}

void MasterLogger::logFormatted(int type, std::string_view tag, const char* format,
                                const FormatArg* args, int numArgs) {
    deliver(type, joinFormatted(tag, format, args, numArgs));
}

void MasterLogger::logRateSiteFormatted(int rateClass, int type, std::string_view tag,
                                        const char* format, const FormatArg* args, int numArgs) {
    logRate(rateClass, type, joined(tag, format),
            [&] { return joinFormatted(tag, format, args, numArgs); });
}

void MasterLogger::reportPendingRates(bool all) {
    State& st = state();
    std::shared_ptr<LogRImpl> rimpl;
    {
        std::lock_guard<std::mutex> lock(st.d_rate_mutex);
        rimpl = st.d_rimpl;
    }
    rimpl->reportPending(all);
}

void MasterLogger::deliver(int type, std::string_view line) {
    State& st = state();
    if (type == LOG_2STRING) {
        for (LogCapture* c = t_captures; c;) {
            LogCapture* next = c->d_next;
            c->append(line);
            c = next;
        }
        return;
    }
    if (type < 0 || type >= st.d_count.load(std::memory_order_acquire)) {
        std::string text = strFormat("\nERROR in core_v2masterlogger:%d[%d??] %s\n",
                                     logger_loc::k_INVALID_TYPE, type, line);
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return;
    }
    const Slot& slot = st.d_table[type];
    const uint8_t flags = slot.d_flags.load(std::memory_order_relaxed);
    if (!(flags & (e_LOG_ECHO | e_LOG_TO_IMPL))) {
        return;
    }
    const unsigned thread = threadNumber();
    if (flags & e_LOG_ECHO) {
        echo(slot, thread, line);
    }
    if (flags & e_LOG_TO_IMPL) {
        implLog(type, thread, line);
    }
}

void MasterLogger::implLog(int type, unsigned thread, std::string_view text) {
    State& st = state();
    const Slot& slot = st.d_table[type];
    if (t_in_impl) {
        writeDiverted(stderr, "MasterLogger:implLog - called recursively!\n", slot, thread, text);
        return;
    }
    t_in_impl = true;
    if (st.d_replacing.load()) {
        writeDiverted(stdout, "MasterLogger:implLog - log while setting impl\n", slot, thread,
                      text);
        t_in_impl = false;
        return;
    }
    const uint8_t flags = slot.d_flags.load(std::memory_order_relaxed);
    const uint8_t code = slot.d_code.load(std::memory_order_relaxed);
    if (code != 0 || (flags & (e_LOG_OBSERVED | e_LOG_HISTORY))) {
        ImplLock lock(st.d_mutex);
        if (code != 0) {
            st.d_impl->log(type, thread, slot.d_name, code, text);
        }
        if (flags & e_LOG_OBSERVED) {
            MasterLogger::notifyObservers(type, thread, slot.d_name, text);
        }
        if (flags & e_LOG_HISTORY) {
            st.d_history.push_back(
                LogHistoryEntry{MasterLogger::monotonicMs(), slot.d_name, std::string(text)});
            while (st.d_history.size() > st.d_history_capacity) {
                st.d_history.pop_front();
            }
        }
    }
    t_in_impl = false;
}

void MasterLogger::notifyObservers(int type, unsigned thread, const char* typeName,
                                   std::string_view text) {
    for (GlobalLogObserver* observer : state().d_observers) {
        const auto& types = observer->d_types;
        if (std::find(types.begin(), types.end(), type) == types.end()) {
            continue;
        }
        if (observer->d_in_notify) {
            reportError(logger_loc::k_OBSERVER_REENTERED);
            continue;
        }
        observer->d_in_notify = true;
        observer->notify(type, thread, typeName, text);
        observer->d_in_notify = false;
    }
}

void MasterLogger::logRate(int rateClass, int type, std::string_view message) {
    logRate(rateClass, type, message, [message] { return std::string(message); });
}

void MasterLogger::logRate(int rateClass, int type, std::string_view key,
                           const std::function<std::string()>& produce) {
    if (rateClass == 0 || t_in_impl) {
        deliver(type, produce());
        return;
    }
    State& st = state();
    std::shared_ptr<LogRImpl> rimpl;
    {
        std::lock_guard<std::mutex> lock(st.d_rate_mutex);
        rimpl = st.d_rimpl;
    }
    rimpl->logRate(rateClass, type, threadNumber(), key, produce);
}

void MasterLogger::logAt(int type, std::string_view file, int line, std::string_view function,
                         std::string_view message) {
    std::string text = strFormat("Log at %s:%d", file, line);
    if (!function.empty()) {
        strAppendFormat(text, " (%s)", function);
    }
    if (!message.empty()) {
        strAppendFormat(text, " - %s", message);
    }
    deliver(type, text);
}

unsigned MasterLogger::threadNumber() {
    if (t_number == UINT_MAX) {
        State& st = state();
        t_number = std::this_thread::get_id() == st.d_creator ? 0 : st.d_next_thread.fetch_add(1);
    }
    return t_number;
}

bool MasterLogger::isAdminThread() {
    return std::this_thread::get_id() == state().d_creator;
}

int MasterLogger::registerType(const char* name, const char* colour) {
    State& st = state();
    if (!checkAdminThread(logger_loc::k_REGISTER_THREAD)) {
        return 0;
    }
    const int n = st.d_count.load();
    Slot probe;
    setName(probe, name);
    for (int i = 1; i < n; ++i) {
        if (std::strcmp(probe.d_name, st.d_table[i].d_name) == 0) {
            return i;
        }
    }
    if (n >= k_MAX_LOG_TYPES) {
        reportError(logger_loc::k_REGISTER_FULL);
        return 0;
    }
    initSlot(st.d_table[n], name, colour, 0, 0);
    st.d_count.store(n + 1, std::memory_order_release);
    return n;
}

int MasterLogger::findType(std::string_view name) {
    State& st = state();
    if (!checkAdminThread(logger_loc::k_FIND_THREAD)) {
        return 0;
    }
    if (name.empty()) {
        reportError(logger_loc::k_FIND_NAME);
        return 0;
    }
    const int n = st.d_count.load();
    for (int i = 1; i < n; ++i) {
        if (name == st.d_table[i].d_name) {
            return i;
        }
    }
    return 0;
}

const char* MasterLogger::typeName(int type) {
    State& st = state();
    if (type < 0 || type >= st.d_count.load(std::memory_order_acquire)) {
        reportError(logger_loc::k_INVALID_TYPE);
        return nullptr;
    }
    return st.d_table[type].d_name;
}

const char* MasterLogger::typeColour(int type) {
    State& st = state();
    if (type < 0 || type >= st.d_count.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return st.d_table[type].d_colour;
}

int MasterLogger::typeFlags(int type) {
    State& st = state();
    if (type < 0 || type >= st.d_count.load(std::memory_order_acquire)) {
        return 0;
    }
    return st.d_table[type].d_flags.load();
}

int MasterLogger::numTypes() {
    return state().d_count.load(std::memory_order_acquire);
}

int MasterLogger::code(int type) {
    if (!checkAdminThread(logger_loc::k_CODE_THREAD) ||
        !checkRange(type, logger_loc::k_CODE_RANGE, 0)) {
        return 0;
    }
    return state().d_table[type].d_code.load();
}

void MasterLogger::setCode(int type, int code) {
    if (!checkAdminThread(logger_loc::k_SET_CODE_THREAD) ||
        !checkRange(type, logger_loc::k_SET_CODE_RANGE, LOG_NORM)) {
        return;
    }
    state().d_table[type].d_code.store(static_cast<uint8_t>(code));
    recompute(type);
}

void MasterLogger::enable(int type, int code) {
    if (!checkAdminThread(logger_loc::k_MASK_THREAD) ||
        !checkRange(type, logger_loc::k_MASK_RANGE)) {
        return;
    }
    state().d_table[type].d_code.fetch_or(static_cast<uint8_t>(code));
    recompute(type);
}

void MasterLogger::enable(int type) {
    static constexpr int k_STANDARD_CODE[] = {0, 1, 2, 4};
    enable(type, type >= 0 && type < LOG_NORM ? k_STANDARD_CODE[type] : 4);
}

void MasterLogger::disable(int type) {
    if (!checkAdminThread(logger_loc::k_MASK_THREAD) ||
        !checkRange(type, logger_loc::k_MASK_RANGE)) {
        return;
    }
    Slot& slot = state().d_table[type];
    slot.d_code.store(0);
    slot.d_flags.fetch_and(static_cast<uint8_t>(~(e_LOG_ECHO | e_LOG_HISTORY)));
    recompute(type);
}

void MasterLogger::setConsoleEcho(int type, bool on) {
    if (!checkAdminThread(logger_loc::k_ECHO_THREAD) ||
        !checkRange(type, logger_loc::k_ECHO_RANGE)) {
        return;
    }
    changeFlag(type, e_LOG_ECHO, on);
}

bool MasterLogger::consoleEcho(int type) {
    return typeFlags(type) & e_LOG_ECHO;
}

void MasterLogger::setHistory(int type, bool on) {
    if (!checkAdminThread(logger_loc::k_MASK_THREAD) ||
        !checkRange(type, logger_loc::k_MASK_RANGE)) {
        return;
    }
    changeFlag(type, e_LOG_HISTORY, on);
}

void MasterLogger::setImpl(std::unique_ptr<LogImpl> impl) {
    if (!checkAdminThread(logger_loc::k_SET_IMPL_THREAD)) {
        return;
    }
    if (!impl) {
        impl = std::make_unique<DefaultLogImpl>();
    }
    State& st = state();
    ImplLock lock(st.d_mutex);
    st.d_replacing.store(true);
    std::swap(st.d_impl, impl);
    impl.reset();  // the old one; what it logs now goes to standard output
    st.d_replacing.store(false);
}

void MasterLogger::releaseImplForAbort() {
    // Once only: what the implementation does while going may fail a check
    // and come back here, possibly with the mutex already held.
    static std::atomic<bool> s_released{false};
    if (t_in_impl || t_holds_impl_mutex || s_released.exchange(true)) {
        return;
    }
    State& st = state();
    std::unique_lock<std::mutex> lock(st.d_mutex, std::defer_lock);
    for (int i = 0; i < 1000 && !lock.try_lock(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!lock.owns_lock()) {
        return;
    }
    st.d_replacing.store(true);
    st.d_impl.reset();
    st.d_impl = std::make_unique<DefaultLogImpl>();
    st.d_replacing.store(false);
}

void MasterLogger::setRImpl(std::unique_ptr<LogRImpl> impl) {
    if (!checkAdminThread(logger_loc::k_SET_IMPL_THREAD)) {
        return;
    }
    State& st = state();
    std::shared_ptr<LogRImpl> next =
        impl ? std::shared_ptr<LogRImpl>(std::move(impl)) : std::make_shared<DefaultLogRImpl>();
    std::lock_guard<std::mutex> lock(st.d_rate_mutex);
    st.d_rimpl = std::move(next);
}

void MasterLogger::setConsoleHook(std::function<void(std::string_view)> hook) {
    State& st = state();
    auto next =
        hook ? std::make_shared<std::function<void(std::string_view)>>(std::move(hook)) : nullptr;
    std::lock_guard<std::mutex> lock(st.d_hook_mutex);
    st.d_hook = std::move(next);
}

void MasterLogger::addObserver(GlobalLogObserver* observer) {
    if (!observer || !checkAdminThread(logger_loc::k_OBSERVER_THREAD)) {
        return;
    }
    State& st = state();
    ImplLock lock(st.d_mutex);
    if (observer->d_registered) {
        return;
    }
    st.d_observers.push_back(observer);
    observer->d_registered = true;
    const int n = st.d_count.load();
    for (int type : observer->d_types) {
        if (type >= 1 && type < n) {
            changeFlag(type, e_LOG_OBSERVED, true);
        }
    }
}

// Allowed from any thread: an observer removes itself when it is destroyed.
void MasterLogger::removeObserver(GlobalLogObserver* observer) {
    if (!observer) {
        return;
    }
    State& st = state();
    ImplLock lock(st.d_mutex);
    auto it = std::find(st.d_observers.begin(), st.d_observers.end(), observer);
    if (it == st.d_observers.end()) {
        return;
    }
    st.d_observers.erase(it);
    observer->d_registered = false;
    const int n = st.d_count.load();
    for (int type : observer->d_types) {
        if (type < 1 || type >= n) {
            continue;
        }
        bool wanted = false;
        for (GlobalLogObserver* other : st.d_observers) {
            wanted = wanted || std::find(other->d_types.begin(), other->d_types.end(), type) !=
                                   other->d_types.end();
        }
        changeFlag(type, e_LOG_OBSERVED, wanted);
    }
}

void MasterLogger::setHistoryCapacity(size_t capacity) {
    State& st = state();
    ImplLock lock(st.d_mutex);
    st.d_history_capacity = capacity;
    while (st.d_history.size() > capacity) {
        st.d_history.pop_front();
    }
}

std::vector<LogHistoryEntry> MasterLogger::history() {
    State& st = state();
    ImplLock lock(st.d_mutex);
    return std::vector<LogHistoryEntry>(st.d_history.begin(), st.d_history.end());
}

void MasterLogger::setMonotonicClock(MonotonicClock clock) {
    s_clock.store(clock);
}

int64_t MasterLogger::monotonicMs() {
    MonotonicClock clock = s_clock.load(std::memory_order_relaxed);
    return clock ? clock() : platformMonotonicMs();
}

// -------------------------------------------------------------------- Globals

Globals::Globals(std::unique_ptr<LogImpl> impl) {
    MasterLogger::setImpl(std::move(impl));
}

Globals::~Globals() {
    MasterLogger::reportPendingRates(true);
    Assert::setFailureHandler();
    MasterLogger::setImpl(nullptr);
}

// ------------------------------------------------------------------ logSafe

std::string logSafe(std::string_view text, size_t limit) {
    static const char k_HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(std::min(text.size(), limit) + 8);
    size_t i = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escaped[4];
        size_t n = 0;
        if (c == '\n' || c == '\r' || c == '\t') {
            escaped[0] = '\\';
            escaped[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
            n = 2;
        } else if (c < 0x20 || c == 0x7f) {
            escaped[0] = '\\';
            escaped[1] = 'x';
            escaped[2] = k_HEX[c >> 4];
            escaped[3] = k_HEX[c & 0xf];
            n = 4;
        } else {
            escaped[0] = static_cast<char>(c);
            n = 1;
        }
        if (out.size() + n > limit) {
            break;
        }
        out.append(escaped, n);
    }
    if (i == text.size()) {
        return out;
    }
    // Cut back to the start of a UTF-8 sequence that was copied in part.
    size_t end = out.size();
    size_t lead = end;
    while (lead > 0 && (static_cast<unsigned char>(out[lead - 1]) & 0xC0) == 0x80) {
        --lead;
    }
    if (lead > 0 && static_cast<unsigned char>(out[lead - 1]) >= 0xC0) {
        const unsigned char first = static_cast<unsigned char>(out[lead - 1]);
        const size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
        if (end - (lead - 1) < length) {
            end = lead - 1;
        }
    }
    out.resize(end);
    strAppendFormat(out, "\xE2\x80\xA6(%d bytes)", text.size());
    return out;
}

}  // namespace core
