// cutl_logcapture_testutil.h                                      -*-C++-*-
//
// Test helper: while a 'LogLines' object lives, every delivered log line is
// kept (type and joined text) and failed checks do not stop the process.
#ifndef INCLUDED_CUTL_LOGCAPTURE_TESTUTIL
#define INCLUDED_CUTL_LOGCAPTURE_TESTUTIL

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core_assert.h"
#include "core_v2masterlogger.h"

namespace cutl {

class LogLines {
  public:
    LogLines() {
        auto sink = std::make_unique<Sink>();
        d_sink = sink.get();
        core::MasterLogger::setImpl(std::move(sink));
        core::Assert::setStopOnFailedCheck(false);
    }
    ~LogLines() {
        core::MasterLogger::setImpl(nullptr);
        core::Assert::setStopOnFailedCheck(true);
    }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    std::vector<std::pair<int, std::string>> lines() const {
        std::lock_guard<std::mutex> lock(d_sink->d_mutex);
        return d_sink->d_lines;
    }
    // Lines (of 'type', or of any type when 'type' is -1) containing 'part'.
    int count(std::string_view part, int type = -1) const {
        int n = 0;
        for (const auto& [t, text] : lines()) {
            if ((type < 0 || t == type) && text.find(part) != std::string::npos) {
                ++n;
            }
        }
        return n;
    }
    int failedChecks() const { return count("GASSERT failed at", core::LOG_CRIT); }
    void clear() {
        std::lock_guard<std::mutex> lock(d_sink->d_mutex);
        d_sink->d_lines.clear();
    }
    std::string all() const {
        std::string out;
        for (const auto& line : lines()) {
            out += line.second;
            out += '\n';
        }
        return out;
    }

  private:
    struct Sink : core::LogImpl {
        void log(int type, unsigned, const char*, int, std::string_view text) override {
            std::lock_guard<std::mutex> lock(d_mutex);
            d_lines.emplace_back(type, std::string(text));
        }
        mutable std::mutex d_mutex;
        std::vector<std::pair<int, std::string>> d_lines;
    };
    Sink* d_sink;
};

}  // namespace cutl

#endif
