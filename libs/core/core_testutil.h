// core_testutil.h                                                 -*-C++-*-
//
// Test helpers (header only, for test binaries): 'RecordingLog' installs a
// 'LogImpl' that keeps every line it gets, 'FailureRecorder' installs a check
// handler that keeps every failure and lets execution go on.
//
// Thread safety: 'RecordingLog' may be fed from any thread; construct and
// destroy both helpers on the thread that created the logger.
#ifndef INCLUDED_CORE_TESTUTIL
#define INCLUDED_CORE_TESTUTIL

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core_assert.h"
#include "core_v2masterlogger.h"

namespace core {

struct LoggedLine {
    int d_type;
    unsigned d_thread;
    std::string d_type_name;  // empty when none was given
    int d_code;
    std::string d_text;
};

class RecordingLog {
  public:
    RecordingLog() : d_store(std::make_shared<Store>()) {
        MasterLogger::setImpl(std::make_unique<Impl>(d_store));
    }
    ~RecordingLog() { MasterLogger::setImpl(nullptr); }
    RecordingLog(const RecordingLog&) = delete;
    RecordingLog& operator=(const RecordingLog&) = delete;

    std::vector<LoggedLine> lines() const {
        std::lock_guard<std::mutex> lock(d_store->d_mutex);
        return d_store->d_lines;
    }
    // The texts of the lines of 'type' (all lines when 'type' is -1).
    std::vector<std::string> texts(int type = -1) const {
        std::vector<std::string> out;
        for (const LoggedLine& l : lines()) {
            if (type < 0 || l.d_type == type) {
                out.push_back(l.d_text);
            }
        }
        return out;
    }
    // True when some line contains 'part'.
    bool contains(std::string_view part) const {
        for (const LoggedLine& l : lines()) {
            if (l.d_text.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(d_store->d_mutex);
        d_store->d_lines.clear();
    }

  private:
    struct Store {
        std::mutex d_mutex;
        std::vector<LoggedLine> d_lines;
    };
    class Impl : public LogImpl {
      public:
        explicit Impl(std::shared_ptr<Store> store) : d_store(std::move(store)) {}
        void log(int type, unsigned thread, const char* name, int code,
                 std::string_view text) override {
            std::lock_guard<std::mutex> lock(d_store->d_mutex);
            d_store->d_lines.push_back(
                LoggedLine{type, thread, name ? name : "", code, std::string(text)});
        }

      private:
        std::shared_ptr<Store> d_store;
    };
    std::shared_ptr<Store> d_store;
};

struct RecordedFailure {
    std::string d_expr;
    std::string d_file;
    int d_line;
    int d_severity;
    std::string d_message;
};

// Keeps failed checks instead of reporting them; one at a time per process.
class FailureRecorder {
  public:
    FailureRecorder() {
        failures().clear();
        Assert::setFailureHandler(&record);
    }
    ~FailureRecorder() { Assert::setFailureHandler(&Assert::failDefault); }
    FailureRecorder(const FailureRecorder&) = delete;
    FailureRecorder& operator=(const FailureRecorder&) = delete;

    static std::vector<RecordedFailure>& failures() {
        static std::vector<RecordedFailure> s;
        return s;
    }
    // The messages of the failures so far, and forgets them.
    std::vector<std::string> takeMessages() {
        std::vector<std::string> out;
        for (const RecordedFailure& f : failures()) {
            out.push_back(f.d_message);
        }
        failures().clear();
        return out;
    }

  private:
    static bool record(const char* expr, std::string_view file, int line, int severity,
                       std::string_view message) {
        failures().push_back(RecordedFailure{expr ? expr : "", std::string(file), line, severity,
                                             std::string(message)});
        return false;
    }
};

}  // namespace core

#endif
