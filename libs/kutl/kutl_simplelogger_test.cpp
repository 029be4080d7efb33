#include "kutl_simplelogger.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "core_testutil.h"
#include "cutl_tempdir_testutil.h"
#include "kern_kernel.h"
#include "kern_testutil.h"

namespace kutl {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(SimpleLogger, LineLayout) {
    struct tm t {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 15;
    t.tm_hour = 8;
    t.tm_min = 5;
    t.tm_sec = 9;
    EXPECT_EQ(SimpleLogger::formatLine(t, "WARN", 3, "x"), "\n2024-01-15 08:05:09 [WARN] {3} x");
    EXPECT_EQ(SimpleLogger::formatLine(t, nullptr, 3, "x"), "\n2024-01-15 08:05:09 x");
}

TEST(SimpleLogger, SixthLineFlushesAndDestructionFlushesTheRest) {
    cutl::TempDir dir;
    {
        SimpleLogger logger(dir.path(), "wrapper.log", 5000000, 1);
        for (int i = 1; i <= 5; ++i) {
            logger.log(core::LOG_INFO, 0, "INFO", 4, "line " + std::to_string(i));
        }
        EXPECT_FALSE(std::filesystem::exists(dir / "wrapper.log"));
        logger.log(core::LOG_INFO, 0, "INFO", 4, "line 6");
        std::string text = slurp(dir / "wrapper.log");
        EXPECT_EQ(text.find("\n"), 0u);  // every line starts with its line feed
        EXPECT_NE(text.find("[INFO] {0} line 6"), std::string::npos);
        EXPECT_NE(text.back(), '\n');
        logger.log(core::LOG_WARN, 2, "WARN", 2, "last");
        EXPECT_EQ(logger.numPending(), 1u);
    }
    EXPECT_NE(slurp(dir / "wrapper.log").find("[WARN] {2} last"), std::string::npos);
}

// The quiet-period flush: five ticks after the last line.  The service
// rebuilds its kernel after a lost loop while the logger lives on, so the
// timer must be armed again with each new kernel and the logger must go away
// without a failed timer count.
TEST(SimpleLogger, QuietFlushFollowsEachNewKernel) {
    cutl::TempDir dir;
    kern::FakeClock clock;
    core::FailureRecorder failures;
    auto logger = std::make_unique<SimpleLogger>(dir.path(), "wrapper.log", 5000000, 1);
    char arg0[] = "test";
    char* argv[] = {arg0, nullptr};
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        kern::StdKernel kernel(1, argv);
        auto tick = [&](int n) {
            for (int i = 0; i < n; ++i) {
                kern::FakeClock::advance(1000);
                kernel.timerQueue()->processTimers();
            }
        };
        const std::string first = "first " + std::to_string(cycle);
        const std::string second = "second " + std::to_string(cycle);
        logger->log(core::LOG_INFO, 0, "INFO", 4, first);
        tick(3);
        logger->log(core::LOG_INFO, 0, "INFO", 4, second);
        tick(4);
        EXPECT_EQ(slurp(dir / "wrapper.log").find(second), std::string::npos);
        tick(1);
        EXPECT_NE(slurp(dir / "wrapper.log").find(first + "\n"), std::string::npos);
        EXPECT_NE(slurp(dir / "wrapper.log").find(second), std::string::npos);
        if (cycle == 2) {
            logger.reset();  // while this kernel still runs
        }
    }
    EXPECT_TRUE(failures.takeMessages().empty());
}

void logLines(SimpleLogger& logger, int n, size_t width) {
    for (int i = 0; i < n; ++i) {
        logger.log(core::LOG_INFO, 0, "INFO", 4, std::string(width, 'a' + i % 26));
    }
    logger.flushToFile();
}

TEST(SimpleLogger, RotationWithCountOneKeepsOneOldFile) {
    cutl::TempDir dir;
    SimpleLogger logger(dir.path(), "wrapper.log", 1000, 1);
    logLines(logger, 3, 400);  // over the limit after the flush
    EXPECT_FALSE(std::filesystem::exists(dir / "wrapper.log"));
    EXPECT_GT(std::filesystem::file_size(dir / "wrapper.log.old"), 1000u);
    logLines(logger, 1, 10);
    EXPECT_LT(std::filesystem::file_size(dir / "wrapper.log"), 100u);
    logLines(logger, 3, 400);  // replaces the older ".old"
    EXPECT_FALSE(std::filesystem::exists(dir / "wrapper.log"));
    EXPECT_GT(std::filesystem::file_size(dir / "wrapper.log.old"), 1000u);
}

TEST(SimpleLogger, RotationWithCountNShiftsNumberedFiles) {
    cutl::TempDir dir;
    for (const char* name : {"log.0", "log.1", "log.2"}) {
        std::ofstream(dir / name) << name;
    }
    SimpleLogger logger(dir.path(), "log", 100, 2);
    logLines(logger, 1, 200);
    EXPECT_EQ(slurp(dir / "log.1"), "log.0");
    EXPECT_EQ(slurp(dir / "log.2"), "log.1");
    EXPECT_FALSE(std::filesystem::exists(dir / "log.3"));
    EXPECT_GT(std::filesystem::file_size(dir / "log.0"), 200u);
    EXPECT_FALSE(std::filesystem::exists(dir / "log"));

    cutl::TempDir alone;
    SimpleLogger single(alone.path(), "log", 100, 2);
    logLines(single, 1, 200);
    EXPECT_TRUE(std::filesystem::exists(alone / "log.0"));
    EXPECT_FALSE(std::filesystem::exists(alone / "log.1"));
}

TEST(SimpleLogger, UnwritableFolderOrRefusedRenameNeverStops) {
    core::Assert::setStopOnFailedCheck(true);
    core::RecordingLog lines;
    cutl::TempDir dir;
    {
        SimpleLogger logger(dir / "missing/folder", "wrapper.log", 1000, 1);
        logLines(logger, 7, 10);
        EXPECT_EQ(logger.numPending(), 0u);  // the lines are given up
    }
    // A folder where the ".old" file should go makes the rename fail.
    std::filesystem::create_directory(dir / "wrapper.log.old");
    std::ofstream(dir / "wrapper.log.old/keep") << "x";
    SimpleLogger logger(dir.path(), "wrapper.log", 100, 1);
    logLines(logger, 1, 200);
    logLines(logger, 1, 10);
    EXPECT_GT(std::filesystem::file_size(dir / "wrapper.log"), 200u);
    EXPECT_TRUE(lines.contains("GASSERT failed at kutl_simplelogger:95"));
    EXPECT_TRUE(lines.contains("GASSERT failed at kutl_simplelogger:128"));
}

}  // namespace
}  // namespace kutl
