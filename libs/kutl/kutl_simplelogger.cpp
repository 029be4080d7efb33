#include "kutl_simplelogger.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "core_assert.h"
#include "kern_kernel.h"
#include "utl_fileutils.h"

#ifdef _WIN32
#include <io.h>
#define LV_OPEN _open
#define LV_WRITE _write
#define LV_CLOSE _close
#define LV_FSTAT _fstat64
#define LV_CLOEXEC _O_NOINHERIT
using LvStat = struct _stat64;
#else
#include <unistd.h>
#define LV_OPEN ::open
#define LV_WRITE ::write
#define LV_CLOSE ::close
#define LV_FSTAT ::fstat
#define LV_CLOEXEC O_CLOEXEC
using LvStat = struct stat;
#define O_BINARY 0
#endif

namespace kutl {

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace simplelogger_loc {
constexpr int k_OPEN_FAILED = 95;
constexpr int k_RENAME_TO_OLD = 128;
constexpr int k_RENAME_NUMBERED = 145;
constexpr int k_RENAME_CURRENT = 152;
}  // namespace simplelogger_loc

// The logger's class of one line per minute and key.
constexpr int k_FAILURE_RATE_CLASS = 6;

SimpleLogger::SimpleLogger(std::string directory, std::string fileName, int64_t sizeLimit,
                           int rotationCount)
    : d_directory(std::move(directory)),
      d_file_name(std::move(fileName)),
      d_size_limit(sizeLimit),
      d_rotation_count(rotationCount) {}

// What went wrong during one flush, in the order it happened.
struct SimpleLogger::FlushReport {
    struct RenameFailure {
        int d_check_line;
        std::string d_from;
        std::string d_to;
        std::string d_why;
        std::string d_message;
    };
    // Rename failures kept while they wait to be reported: a rotation that
    // keeps failing must not grow the logger.
    static constexpr size_t k_MAX_DEFERRED_RENAMES = 8;

    std::string d_path;
    bool d_open_failed = false;
    int d_short_lines = 0;
    std::vector<RenameFailure> d_renames;

    bool empty() const { return !d_open_failed && d_short_lines == 0 && d_renames.empty(); }
    void merge(FlushReport&& later) {
        d_path = later.d_path;
        d_open_failed = d_open_failed || later.d_open_failed;
        d_short_lines += later.d_short_lines;
        for (RenameFailure& failure : later.d_renames) {
            if (d_renames.size() < k_MAX_DEFERRED_RENAMES) {
                d_renames.push_back(std::move(failure));
            }
        }
    }
};

SimpleLogger::~SimpleLogger() {
    flushToFile();
    const kern::TimerManager* manager = kern::TimerManager::timerManager();
    if (d_flush_timer.isSet() && manager && manager->serial() == d_timer_serial) {
        killTimer(d_flush_timer);
    } else {
        forgetTimers();
    }
}

std::string SimpleLogger::formatLine(const struct tm& localTime, const char* typeName,
                                     unsigned threadNumber, std::string_view text) {
    char stamp[30];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &localTime);
    if (typeName) {
        return core::strFormat("\n%s [%s] {%u} %s", stamp, typeName, threadNumber, text);
    }
    return core::strFormat("\n%s %s", stamp, text);
}

void SimpleLogger::log(int, unsigned threadNumber, const char* typeName, int,
                       std::string_view text) {
    time_t now = std::time(nullptr);
    struct tm local;
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    std::string line = formatLine(local, typeName, threadNumber, text);
    bool flushNow = false;
    {
        std::lock_guard<std::mutex> lock(d_pending_mutex);
        d_pending.push_back(std::move(line));
        d_countdown = k_QUIET_TICKS;
        flushNow = d_pending.size() > k_MAX_PENDING;
    }
    if (flushNow) {
        flush(true);
    }
    // Only a thread with a kernel drives the quiet-period flush.  A timer
    // armed with an earlier kernel's queue died with it.
    const kern::TimerManager* manager = kern::TimerManager::timerManager();
    if (manager && kern::Kernel::current() &&
        (!d_flush_timer.isSet() || d_timer_serial != manager->serial())) {
        if (d_flush_timer.isSet()) {
            forgetTimers();
            d_flush_timer = kern::TimerId();
        }
        d_timer_serial = manager->serial();
        setTimer(d_flush_timer, k_FLUSH_TICK_MS);
    }
}

size_t SimpleLogger::numPending() const {
    std::lock_guard<std::mutex> lock(d_pending_mutex);
    return d_pending.size();
}

bool SimpleLogger::handleTimeout(int64_t id) {
    if (id != d_flush_timer.id()) {
        return false;
    }
    // The rate limiter has no clock of its own.
    core::MasterLogger::reportPendingRates();
    publishDeferred();
    bool flushNow = false;
    {
        std::lock_guard<std::mutex> lock(d_pending_mutex);
        if (d_pending.empty()) {
            return true;
        }
        flushNow = --d_countdown < 1;
    }
    if (flushNow) {
        flushToFile();
    }
    return true;
}

void SimpleLogger::flushToFile() {
    publishDeferred();
    flush(false);
}

void SimpleLogger::publishDeferred() {
    std::unique_ptr<FlushReport> report;
    {
        std::lock_guard<std::mutex> lock(d_pending_mutex);
        report.swap(d_deferred);
    }
    if (report) {
        publish(*report);
    }
}

void SimpleLogger::flush(bool insideLog) {
    FlushReport report;
    {
        // Taking the lines under the file lock keeps the batches of two
        // concurrent flushes in the order they were logged.
        std::lock_guard<std::mutex> fileLock(d_file_mutex);
        std::vector<std::string> lines;
        {
            std::lock_guard<std::mutex> lock(d_pending_mutex);
            lines.swap(d_pending);
        }
        if (lines.empty()) {
            return;
        }
        report.d_path = path();
        // Not inherited: a child process must not keep the log open.
        const int fd = LV_OPEN(report.d_path.c_str(),
                               O_RDWR | O_APPEND | O_CREAT | O_BINARY | LV_CLOEXEC, 0600);
        if (fd < 0) {
            report.d_open_failed = true;
        } else {
            for (const std::string& line : lines) {
                if (static_cast<long long>(
                        LV_WRITE(fd, line.data(), static_cast<unsigned>(line.size()))) !=
                    static_cast<long long>(line.size())) {
                    ++report.d_short_lines;
                }
            }
            LvStat st;
            const bool tooLarge =
                LV_FSTAT(fd, &st) == 0 && static_cast<int64_t>(st.st_size) > d_size_limit;
            LV_CLOSE(fd);
            if (tooLarge) {
                rotate(&report);
            }
        }
    }
    if (!insideLog) {
        publish(report);
    } else if (!report.empty()) {
        std::lock_guard<std::mutex> lock(d_pending_mutex);
        if (!d_deferred) {
            d_deferred = std::make_unique<FlushReport>();
        }
        d_deferred->merge(std::move(report));
    }
}

void SimpleLogger::publish(const FlushReport& report) {
    if (report.d_open_failed) {
        // A folder we cannot write is a condition of the machine.
        CHECKF_NOSTOP_AT(false, "kutl_simplelogger", simplelogger_loc::k_OPEN_FAILED, "%s",
                         report.d_path);
        return;
    }
    // Each of these lines goes to the same file in turn: without a limit a
    // full disk would keep the logger busy reporting itself.
    for (int i = 0; i < report.d_short_lines; ++i) {
        LOG_RATE_SITE(k_FAILURE_RATE_CLASS, core::LOG_WARN, "kutl::SimpleLogger::flushToFile",
                      "failed writing '%s'", report.d_path);
    }
    for (const FlushReport::RenameFailure& failure : report.d_renames) {
        // Reported lines end in a flush, which retries the rotation.
        LOG_RATE_SITE(k_FAILURE_RATE_CLASS, core::LOG_INFO, "utl::FileUtils::renameFile",
                      "'%s'=>'%s' failed : %s", failure.d_from, failure.d_to, failure.d_why);
        CHECKF_NOSTOP_AT(false, "kutl_simplelogger", failure.d_check_line, "%s", failure.d_message);
    }
}

void SimpleLogger::rotate(FlushReport* report) {
    // Renames with write-through, like the file utilities, but silently: the
    // file lock is held here.
    const auto rename = [report](const std::string& from, const std::string& to, int checkLine,
                                 std::string message) {
        std::error_code ec;
        std::filesystem::rename(from, to, ec);
        if (!ec) {
            utl::FileUtils::syncFolderOf(to);
            return;
        }
        report->d_renames.push_back({checkLine, from, to, ec.message(), std::move(message)});
    };
    const std::string base = path();
    if (d_rotation_count == 1) {
        const std::string target = base + ".old";
        rename(base, target, simplelogger_loc::k_RENAME_TO_OLD,
               core::strFormat("failed renaming %s to %s", base, target));
        return;
    }
    const int n = d_rotation_count;
    for (int i = n; i >= 0; --i) {
        std::string from = core::strFormat("%s/%s.%d", d_directory, d_file_name, i);
        std::error_code ec;
        if (std::filesystem::exists(from, ec) && !std::filesystem::is_directory(from, ec)) {
            std::string to = core::strFormat("%s/%s.%d", d_directory, d_file_name, i + 1);
            rename(from, to, simplelogger_loc::k_RENAME_NUMBERED,
                   core::strFormat("%s=>%s", from, to));
        }
    }
    rename(base, base + ".0", simplelogger_loc::k_RENAME_CURRENT, base);
    std::error_code ec;
    std::filesystem::remove(core::strFormat("%s/%s.%d", d_directory, d_file_name, n + 1), ec);
}

}  // namespace kutl
