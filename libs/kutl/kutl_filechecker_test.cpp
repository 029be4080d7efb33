#include "kutl_filechecker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "cutl_tempdir_testutil.h"
#include "kern_kernel.h"
#include "kern_testutil.h"

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
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Replaces 'path' as the configuration tool does: a new file renamed over it.
void replace(const std::string& path, const std::string& text) {
    write(path + ".tmp", text);
    std::filesystem::rename(path + ".tmp", path);
}

struct FileCheckerTest : ::testing::Test {
    cutl::TempDir dir;
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

    std::filesystem::remove(path);
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_REMOVED});
    EXPECT_EQ(checker.recordedTime(), 0);
    tick();
    EXPECT_TRUE(owner.take().empty());

    // A folder at the path is no file.
    std::filesystem::create_directory(path);
    tick();
    EXPECT_TRUE(owner.take().empty());
    std::filesystem::remove(path);
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
    std::filesystem::remove(path);
    std::filesystem::create_symlink(path, path);
    EXPECT_EQ(FileChecker::fileTime(path), -1);
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_MODIFIED});
    EXPECT_EQ(checker.recordedTime(), -1);
    tick();
    EXPECT_TRUE(owner.take().empty());

    // A link to nothing is no file; a real file again is a new one.
    std::filesystem::remove(path);
    std::filesystem::create_symlink(dir / "nowhere", path);
    tick();
    EXPECT_EQ(owner.take(), std::vector<int>{FileCheckerOwner::e_REMOVED});
    std::filesystem::remove(path);
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
