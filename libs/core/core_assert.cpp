#include "core_assert.h"

#include <atomic>
#include <cstdio>

#include "core_stacktrace.h"
#include "core_v2masterlogger.h"

namespace core {

namespace {

std::atomic<Assert::FailureHandler> s_handler{&Assert::failDefault};
std::atomic<bool> s_locked{false};
std::atomic<int> s_level{1};
std::atomic<int> s_no_stop_rate_class{0};

thread_local bool t_in_fail = false;
thread_local bool t_in_alert = false;
thread_local bool t_no_stop = false;  // inside 'failNoStop'

void writeStderr(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace

void Assert::fail(const char* expr, std::string_view file, int line, int severity,
                  std::string_view message) {
    if (severity > s_level.load(std::memory_order_relaxed)) {
        return;
    }
    if (s_handler.load()(expr, file, line, severity, message)) {
        StackTrace::stopProcess();
    }
}

void Assert::failNoStop(const char* expr, std::string_view file, int line, int severity,
                        std::string_view message) {
    if (severity > s_level.load(std::memory_order_relaxed)) {
        return;
    }
    const bool outer = t_no_stop;
    t_no_stop = true;
    s_handler.load()(expr, file, line, severity, message);
    t_no_stop = outer;
}

void Assert::alert(const char* expr, std::string_view file, int line, std::string_view message) {
    if (t_in_alert) {
        writeStderr("Assert:alertDefault - recursive call\n");
        return;
    }
    t_in_alert = true;
    if (message.empty()) {
        LOG_CRIT("core::Assert::alertDefault", "GALERT at %s:%d (%s)", file, line, expr);
    } else {
        LOG_CRIT("core::Assert::alertDefault", "GALERT at %s:%d (%s) (%s)", file, line, expr,
                 message);
    }
    t_in_alert = false;
}

bool Assert::failDefault(const char* expr, std::string_view file, int line, int,
                         std::string_view message) {
    if (!expr) {
        LOG_CRIT("core::Assert::failDefault", "ERROR!! ASSERT failed at %s:%d", file, line);
        return false;
    }
    if (t_in_fail) {
        writeStderr("Assert:failDefault - recursive call\n");
        return false;
    }
    t_in_fail = true;
    bool stop = false;
    if (StackTrace::isExcluded(file, line)) {
        if (message.empty()) {
            LOG_CRIT("core::Assert::failDefault", "EXCLUDED_ASSERT failed at %s:%d (%s)", file,
                     line, expr);
        } else {
            LOG_CRIT("core::Assert::failDefault", "EXCLUDED_ASSERT failed at %s:%d (%s) (%s)", file,
                     line, expr, message);
        }
    } else {
        const std::string what =
            strFormat("GASSERT failed at %s:%d (%s) (%s)", file, line, expr, message);
        auto report = [&] {
            LOG_CRIT("core::Assert::failDefault", "%s", what);
            stop = StackTrace::stopOnFailedCheck();
            StackTrace::recordFailure(what, stop && !t_no_stop);
        };
        const int rateClass = s_no_stop_rate_class.load(std::memory_order_relaxed);
        if (t_no_stop && rateClass != 0) {
            const std::string key =
                strFormat("core::Assert::failDefault - failed checks at %s:%d", file, line);
            MasterLogger::logRate(rateClass, LOG_CRIT, key, [&] {
                report();
                return key;
            });
        } else {
            report();
        }
    }
    t_in_fail = false;
    return stop;
}

bool Assert::failToStderr(const char*, std::string_view file, int line, int,
                          std::string_view message) {
    std::string text = strFormat("GASSERT failed at %s:%d (%s)\n", file, line, message);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    return false;
}

void Assert::setFailureHandler() {
    setFailureHandler(&Assert::failToStderr);
}

void Assert::setFailureHandler(FailureHandler handler) {
    if (s_locked.load()) {
        LOG_WARN("core::Assert::setFailureHandler", "handler locked");
        return;
    }
    s_handler.store(handler ? handler : &Assert::failDefault);
}

void Assert::lockHandlers(bool locked) {
    s_locked.store(locked);
}

void Assert::setCheckLevel(int level) {
    s_level.store(level < 0 ? 0 : level > 1 ? 1 : level);
}

int Assert::checkLevel() {
    return s_level.load();
}

void Assert::setStopOnFailedCheck(bool stop) {
    StackTrace::setStopOnFailedCheck(stop);
}

bool Assert::stopOnFailedCheck() {
    return StackTrace::stopOnFailedCheck();
}

void Assert::setNoStopRateClass(int rateClass) {
    s_no_stop_rate_class.store(rateClass < 0 || rateClass > 12 ? 0 : rateClass);
}

int Assert::noStopRateClass() {
    return s_no_stop_rate_class.load();
}

void Assert::setExclusions(std::vector<std::pair<std::string, int>> exclusions) {
    StackTrace::setExclusions(std::move(exclusions));
}

}  // namespace core
