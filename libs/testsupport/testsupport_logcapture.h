// testsupport_logcapture.h                                        -*-C++-*-
//
// Test helpers (for test binaries only): 'LogLines' installs a 'LogImpl' that
// keeps every line it gets while it lives; 'FailureRecorder' installs a check
// handler that keeps every failure and lets execution go on.
//
// Thread safety: 'LogLines' may be fed from any thread; construct and destroy
// both helpers on the thread that created the logger.
#ifndef INCLUDED_TESTSUPPORT_LOGCAPTURE
#define INCLUDED_TESTSUPPORT_LOGCAPTURE

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core_assert.h"
#include "core_v2masterlogger.h"

namespace testutil {

struct LoggedLine {
    int d_type;
    unsigned d_thread;
    std::string d_type_name;  // empty when none was given
    int d_code;
    std::string d_text;
};

class LogLines {
  public:
    // What the capture changes besides the logger's output, undone when it
    // goes.
    enum Option {
        e_PLAIN = 0,
        // Failed checks are logged and execution goes on.
        e_KEEP_GOING = 1,
        // Every type from CRIT to NORM is enabled, CRIT lines are not echoed
        // on the console.
        e_ALL_TYPES = 2,
        // Rate-limited lines are all delivered, without a count: for tests of
        // what a site reports rather than how often.
        e_EVERY_LINE = 4,
    };

    explicit LogLines(int options = e_PLAIN);
    ~LogLines();
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    std::vector<LoggedLine> lines() const;
    // The texts of the lines of 'type' (all lines when 'type' is -1).
    std::vector<std::string> texts(int type = -1) const;
    // Lines (of 'type', or of any type when 'type' is -1) containing 'part'.
    int count(std::string_view part, int type = -1) const;
    bool contains(std::string_view part) const { return count(part) > 0; }
    // The logger's numbers of the threads that wrote lines containing 'part'.
    std::set<unsigned> threadsOf(std::string_view part) const;
    // Failed checks reported so far.
    int failedChecks() const;
    // Every text, one per line.
    std::string all() const;
    void clear();

    struct Store;

  private:
    std::shared_ptr<Store> d_store;
    int d_options;
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
    FailureRecorder();
    ~FailureRecorder();
    FailureRecorder(const FailureRecorder&) = delete;
    FailureRecorder& operator=(const FailureRecorder&) = delete;

    static std::vector<RecordedFailure>& failures();
    // The messages of the failures so far, and forgets them.
    std::vector<std::string> takeMessages();
};

}  // namespace testutil

#endif
