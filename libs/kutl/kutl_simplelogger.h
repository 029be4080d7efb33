// kutl_simplelogger.h                                             -*-C++-*-
//
// 'kutl::SimpleLogger', the output implementation that writes log lines to a
// text file.  Lines are kept in memory and appended in batches: when more than
// five are pending, or after five quiet ticks of a one-second kernel timer.
// The file is open only during a flush; when it grows past the size limit it
// is rotated (count 1: one ".old" file; count N: ".0" ... ".N").  A folder
// that cannot be written or a refused rename is reported and logging goes on;
// what goes wrong in a flush started by a log call is reported on the next
// tick or flush, through the master logger into the file (a log call cannot
// log).  The tick also has the rate limiter write the counts of bursts that
// have ended.
//
// Thread safety: 'log' may be called on any thread (the master logger calls it
// under its mutex); the timer runs on the thread of the kernel that started
// it.  The pending lines are guarded by a lock of the logger's own; one flush
// at a time holds the file lock, and nothing is logged while it is held (a
// thread logging through the master logger may be waiting for it), so what
// goes wrong during a flush is reported after the lock is released.
#ifndef INCLUDED_KUTL_SIMPLELOGGER
#define INCLUDED_KUTL_SIMPLELOGGER

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core_v2masterlogger.h"
#include "kern_timers.h"

namespace kutl {

class SimpleLogger : public core::LogImpl, public kern::TimerInterface {
  public:
    static constexpr int k_FLUSH_TICK_MS = 1000;
    static constexpr int k_QUIET_TICKS = 5;
    static constexpr size_t k_MAX_PENDING = 5;

    // CREATORS
    // Nothing is opened until the first flush.
    SimpleLogger(std::string directory, std::string fileName, int64_t sizeLimit, int rotationCount);
    // Flushes what is pending, then stops the timer.
    ~SimpleLogger() override;

    // MANIPULATORS
    void log(int type, unsigned threadNumber, const char* typeName, int code,
             std::string_view text) override;
    // Appends the pending lines to the file now, rotating it when too large.
    void flushToFile();

    // ACCESSORS
    std::string path() const { return d_directory + "/" + d_file_name; }
    size_t numPending() const;

    // Answers the line as it is written for the given local time: a line feed,
    // "%Y-%m-%d %H:%M:%S", and "[type] {thread} " unless 'typeName' is null.
    static std::string formatLine(const struct tm& localTime, const char* typeName,
                                  unsigned threadNumber, std::string_view text);

  private:
    struct FlushReport;

    bool handleTimeout(int64_t id) override;
    // 'insideLog': called by 'log', so what goes wrong waits in 'd_deferred'.
    void flush(bool insideLog);
    void publishDeferred();
    // Renames the full file away; failures go to 'report'.
    void rotate(FlushReport* report);
    static void publish(const FlushReport& report);

    std::string d_directory;
    std::string d_file_name;
    int64_t d_size_limit;
    int d_rotation_count;
    kern::TimerId d_flush_timer;
    // Serial of the timer manager the flush timer was armed with; a timer of
    // a kernel that has gone died with it.
    uint64_t d_timer_serial = 0;
    int d_countdown = 0;
    mutable std::mutex d_pending_mutex;
    std::vector<std::string> d_pending;
    std::unique_ptr<FlushReport> d_deferred;  // guarded by the pending lock
    // Held for a whole flush, from taking the pending lines to the rotation.
    std::mutex d_file_mutex;
};

}  // namespace kutl

#endif
