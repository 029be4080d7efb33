#include "kutl_filechecker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "kern_kernel.h"
#include "kern_testutil.h"
#include "testsupport_tempdir.h"

namespace kutl {
namespace {

struct Recorder : FileCheckerOwner {
    void handleFileChanged(FileChecker*, int kind, const std::string& path) override {
        d_kinds.push_back(kind);
        d_path = path;
    }
    // The kinds seen since the last call.
    std::vector<int> take() { return std::exchange(d_kinds, {}); }
    std::vector<int> d_kinds;
    std::string d_path;
};

void write(const std::string& path, const std::string& text) {
    std::ofstream(testutil::u8path(path), std::ios::binary | std::ios::trunc) << text;
}

// Replaces 'path' as the configuration tool does: a new file renamed over it.
void replace(const std::string& path, const std::string& text) {
    write(path + ".tmp", text);
    std::filesystem::rename(testutil::u8path(path + ".tmp"), testutil::u8path(path));
}

// Sets the modification time of 'path' to 'ns' nanoseconds after a whole
// second of the file system's clock (January 2024).
void setWriteTime(const std::string& path, int64_t ns) {
    constexpr int64_t k_SECONDS = 1704067200;  // 2024-01-01 00:00:00 UTC
#ifdef _WIN32
    // 100 ns steps since 1601.
    const int64_t ticks = (k_SECONDS + 11644473600LL) * 10000000 + ns / 100;
    const HANDLE file =
        CreateFileW(testutil::u8path(path).c_str(), FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);
#else
    const struct timespec times[2] = {{k_SECONDS, ns}, {k_SECONDS, ns}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
#endif
}

struct FileCheckerTest : ::testing::Test {
    testutil::TempDir dir{testutil::k_NON_ASCII_PREFIX};
    std::string path = dir / "Settings";
    kern::FakeClock clock;
    char arg0[5] = "test";
    char* argv[2] = {arg0, nullptr};
    kern::StdKernel kernel{1, argv};
    Recorder owner;

    void tick(int64_t ms = 1000) {
        kern::FakeClock::advance(ms);
        kernel.timerQueue()->processTimers();
    }
};

TEST_F(FileCheckerTest, ReportsAppearanceChangeAndRemovalOnItsTimer) {
    FileChecker checker(path, &owner, 1000);
    EXPECT_EQ(checker.recordedTime(), 0);
    tick();
    EXPECT_TRUE(owner.take().empty());

    write(path, "[NVR]\n");
    tick(999);
    EXPECT_TRUE(owner.take().empty());  // not yet a period
    tick(1);
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_CREATED});
    EXPECT_EQ(owner.d_path, path);
    EXPECT_NE(checker.recordedTime(), 0);
    EXPECT_NE(checker.recordedTime(), -1);
    tick();
    EXPECT_TRUE(owner.take().empty());

    replace(path, "[NVR]\nPort=1\n");
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_MODIFIED});

    std::filesystem::remove(testutil::u8path(path));
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_REMOVED});
    EXPECT_EQ(checker.recordedTime(), 0);
    tick();
    EXPECT_TRUE(owner.take().empty());

    // A folder at the path is no file.
    std::filesystem::create_directory(testutil::u8path(path));
    tick();
    EXPECT_TRUE(owner.take().empty());
    std::filesystem::remove(testutil::u8path(path));
    write(path, "x");
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_CREATED});
}

TEST_F(FileCheckerTest, ManyRewritesASecondAreEachSeenAndABurstIsOneChange) {
    write(path, "start");
    FileChecker checker(path, &owner, 1000);
    // Rewrites faster than the file system's time stamp moves: in place and
    // by replacement, each looked at before the next.
    for (int i = 1; i <= 200; ++i) {
        const std::string text(static_cast<size_t>(i), 'a');
        i % 2 ? write(path, text) : replace(path, text);
        checker.check();
        ASSERT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_MODIFIED}) << i;
    }
    // Many rewrites between two looks are one change, and nothing after.
    for (int i = 0; i < 50; ++i) {
        replace(path, std::to_string(i));
    }
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_MODIFIED});
    tick();
    EXPECT_TRUE(owner.take().empty());
}

// An editor saving in place: same file, same size, a time stamp less than a
// second later (and the same local-time offset) must still be a change.
TEST_F(FileCheckerTest, SameSizeRewriteInPlaceWithinOneSecondIsSeen) {
    write(path, "Port=5040");
    setWriteTime(path, 0);
    FileChecker checker(path, &owner, 1000);
    write(path, "Port=5041");
    setWriteTime(path, 500000000);
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_MODIFIED});
    tick();
    EXPECT_TRUE(owner.take().empty());
}

TEST_F(FileCheckerTest, UnreadableAndBrokenPathsNeverStopTheWatch) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX permissions and symbolic links";
#endif
    // A file nobody may read still has a time stamp to compare.
    write(path, "a");
    ::chmod(path.c_str(), 0);
    FileChecker checker(path, &owner, 1000);
    EXPECT_NE(checker.recordedTime(), 0);
    EXPECT_NE(checker.recordedTime(), -1);
    replace(path, "bb");
    ::chmod(path.c_str(), 0);
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_MODIFIED});

    // A link pointing at itself cannot be queried: recorded as -1, a change.
    std::filesystem::remove(testutil::u8path(path));
    std::filesystem::create_symlink(testutil::u8path(path), testutil::u8path(path));
    EXPECT_EQ(FileChecker::fileTime(path), -1);
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_MODIFIED});
    EXPECT_EQ(checker.recordedTime(), -1);
    tick();
    EXPECT_TRUE(owner.take().empty());

    // A link to nothing is no file; a real file again is a new one.
    std::filesystem::remove(testutil::u8path(path));
    std::filesystem::create_symlink(testutil::u8path(dir / "nowhere"), testutil::u8path(path));
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_REMOVED});
    std::filesystem::remove(testutil::u8path(path));
    write(path, "c");
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_CREATED});

    // A path below a plain file is no file either, not a failed query.
    EXPECT_EQ(FileChecker::fileTime(path + "/below"), 0);
}

TEST_F(FileCheckerTest, ChecksStopWithTheChecker) {
    auto checker = std::make_unique<FileChecker>(path, &owner, 1000);
    checker.reset();
    write(path, "x");
    tick();
    tick();
    EXPECT_TRUE(owner.take().empty());
}

}  // namespace
}  // namespace kutl
