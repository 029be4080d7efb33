#include "testsupport_logcapture.h"

#include <functional>
#include <mutex>
#include <utility>

#include "core_assert.h"
#include "core_v2masterlogger.h"

namespace testutil {

struct LogLines::Store {
    mutable std::mutex d_mutex;
    std::vector<LoggedLine> d_lines;
};

namespace {

class CaptureImpl : public core::LogImpl {
  public:
    explicit CaptureImpl(std::shared_ptr<LogLines::Store> store) : d_store(std::move(store)) {}
    void log(int type, unsigned thread, const char* name, int code,
             std::string_view text) override {
        std::lock_guard<std::mutex> lock(d_store->d_mutex);
        d_store->d_lines.push_back(
            LoggedLine{type, thread, name ? name : "", code, std::string(text)});
    }

  private:
    std::shared_ptr<LogLines::Store> d_store;
};

class EveryLineRImpl : public core::LogRImpl {
  public:
    void logRate(int, int type, unsigned, std::string_view,
                 const std::function<std::string()>& produce) override {
        core::MasterLogger::deliver(type, produce());
    }
};

bool recordFailure(const char* expr, std::string_view file, int line, int severity,
                   std::string_view message) {
    FailureRecorder::failures().push_back(
        RecordedFailure{expr ? expr : "", std::string(file), line, severity, std::string(message)});
    return false;
}

}  // namespace

LogLines::LogLines(int options) : d_store(std::make_shared<Store>()), d_options(options) {
    if (d_options & e_ALL_TYPES) {
        for (int type : {core::LOG_CRIT, core::LOG_WARN, core::LOG_INFO, core::LOG_NORM}) {
            core::MasterLogger::enable(type);
        }
        core::MasterLogger::setConsoleEcho(core::LOG_CRIT, false);
    }
    core::MasterLogger::setImpl(std::make_unique<CaptureImpl>(d_store));
    if (d_options & e_KEEP_GOING) {
        core::Assert::setStopOnFailedCheck(false);
    }
    if (d_options & e_EVERY_LINE) {
        core::MasterLogger::setRImpl(std::make_unique<EveryLineRImpl>());
    }
}

LogLines::~LogLines() {
    if (d_options & e_EVERY_LINE) {
        core::MasterLogger::setRImpl(nullptr);
    }
    core::MasterLogger::setImpl(nullptr);
    if (d_options & e_KEEP_GOING) {
        core::Assert::setStopOnFailedCheck(true);
    }
}

std::vector<LoggedLine> LogLines::lines() const {
    std::lock_guard<std::mutex> lock(d_store->d_mutex);
    return d_store->d_lines;
}

std::vector<std::string> LogLines::texts(int type) const {
    std::vector<std::string> out;
    for (const LoggedLine& l : lines()) {
        if (type < 0 || l.d_type == type) {
            out.push_back(l.d_text);
        }
    }
    return out;
}

int LogLines::count(std::string_view part, int type) const {
    int n = 0;
    for (const LoggedLine& l : lines()) {
        n += (type < 0 || l.d_type == type) && l.d_text.find(part) != std::string::npos;
    }
    return n;
}

std::set<unsigned> LogLines::threadsOf(std::string_view part) const {
    std::set<unsigned> threads;
    for (const LoggedLine& l : lines()) {
        if (l.d_text.find(part) != std::string::npos) {
            threads.insert(l.d_thread);
        }
    }
    return threads;
}

int LogLines::failedChecks() const {
    return count("GASSERT failed at", core::LOG_CRIT);
}

std::string LogLines::all() const {
    std::string out;
    for (const LoggedLine& l : lines()) {
        out += l.d_text;
        out += '\n';
    }
    return out;
}

void LogLines::clear() {
    std::lock_guard<std::mutex> lock(d_store->d_mutex);
    d_store->d_lines.clear();
}

FailureRecorder::FailureRecorder() {
    failures().clear();
    core::Assert::setFailureHandler(&recordFailure);
}

FailureRecorder::~FailureRecorder() {
    core::Assert::setFailureHandler(&core::Assert::failDefault);
}

std::vector<RecordedFailure>& FailureRecorder::failures() {
    static std::vector<RecordedFailure> s;
    return s;
}

std::vector<std::string> FailureRecorder::takeMessages() {
    std::vector<std::string> out;
    for (const RecordedFailure& f : failures()) {
        out.push_back(f.d_message);
    }
    failures().clear();
    return out;
}

}  // namespace testutil
