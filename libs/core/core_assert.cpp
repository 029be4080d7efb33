// Provisional check facility: to be replaced by the complete implementation.
#include "core_assert.h"

#include <cstdio>
#include <cstdlib>

#include "core_v2masterlogger.h"

namespace core {

namespace {
bool s_stop = true;
}

void Assert::fail(const char* expr, std::string_view file, int line, int severity,
                  std::string_view message) {
    if (failDefault(expr, file, line, severity, message) && s_stop) {
        std::abort();
    }
}

void Assert::failNoStop(const char* expr, std::string_view file, int line, int severity,
                        std::string_view message) {
    failDefault(expr, file, line, severity, message);
}

void Assert::alert(const char* expr, std::string_view file, int line, std::string_view message) {
    LOG_CRIT("", "GALERT at %s:%d (%s) (%s)", file, line, expr, message);
}

bool Assert::failDefault(const char* expr, std::string_view file, int line, int,
                         std::string_view message) {
    LOG_CRIT("", "GASSERT failed at %s:%d (%s) (%s)", file, line, expr ? expr : "", message);
    return s_stop;
}

bool Assert::failToStderr(const char*, std::string_view file, int line, int,
                          std::string_view message) {
    std::fprintf(stderr, "GASSERT failed at %.*s:%d (%.*s)\n", static_cast<int>(file.size()),
                 file.data(), line, static_cast<int>(message.size()), message.data());
    return false;
}

void Assert::setFailureHandler() {}
void Assert::setFailureHandler(FailureHandler) {}
void Assert::lockHandlers(bool) {}
void Assert::setCheckLevel(int) {}
int Assert::checkLevel() { return 1; }
void Assert::setStopOnFailedCheck(bool stop) { s_stop = stop; }
bool Assert::stopOnFailedCheck() { return s_stop; }
void Assert::setExclusions(std::vector<std::pair<std::string, int>>) {}

}  // namespace core
