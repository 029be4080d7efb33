#include "utl_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cutl_logcapture_testutil.h"
#include "cutl_tempdir_testutil.h"
#include "utl_fileutils.h"

namespace utl {
namespace {

std::string contents(const std::string& path) {
    std::string out;
    FileUtils::readFile(path, &out);
    return out;
}

size_t entries(const std::string& dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) {
        ++n;
    }
    return n;
}

TEST(File, CreateFromMemSafeReplacesAtomically) {
    cutl::LogLines log;
    cutl::TempDir dir;
    const std::string path = dir / "Settings";
    ASSERT_TRUE(File::createFromMemSafe(path, "old"));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const ino_t before = st.st_ino;

    ASSERT_TRUE(File::createFromMemSafe(path, std::string(100000, 'n'), 0640));
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_NE(st.st_ino, before);  // a new file took the name, not a rewrite
    EXPECT_EQ(contents(path), std::string(100000, 'n'));
    EXPECT_EQ(entries(dir.path()), 1u);  // no temporary file left behind
    EXPECT_TRUE(File::createFromMemSafe(path, ""));
    EXPECT_EQ(FileUtils::fileSize(path), 0);
    EXPECT_EQ(log.lines().size(), 0u);

    // Saved by root into a folder a service account owns: the account gets
    // the file, so the service can read it.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
        ASSERT_TRUE(File::createFromMemSafe(path, "new"));
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST(File, CreateFromMemSafeFailuresKeepTheOldFile) {
    cutl::LogLines log;
    core::Assert::setStopOnFailedCheck(true);  // the folder check never stops
    cutl::TempDir dir;
    EXPECT_FALSE(File::createFromMemSafe(dir / "missing/Settings", "x"));
    EXPECT_EQ(log.count("GASSERT failed at utl_file:890"), 1);

    // The target is a folder: the rename fails, the temporary file goes.
    const std::string folder = dir / "taken";
    ASSERT_TRUE(FileUtils::createDir(folder));
    std::ofstream(folder + "/inside") << "x";
    EXPECT_FALSE(File::createFromMemSafe(folder, "new"));
    EXPECT_EQ(log.count("utl::File::createFromMemSafe(" + folder +
                            ",3B,flags=194,mode=384) - failed renaming file from temporary '" +
                            dir.path() + "/.tmp-taken.",
                        core::LOG_WARN),
              1);
    EXPECT_TRUE(FileUtils::isDirectory(folder));
    EXPECT_EQ(entries(dir.path()), 1u);

    if (::geteuid() != 0) {
        // Permissions do not hold root back; the temporary file cannot be
        // made in a read-only folder for anyone else.
        const std::string ro = dir / "ro";
        ASSERT_TRUE(FileUtils::createDir(ro));
        ::chmod(ro.c_str(), 0500);
        EXPECT_FALSE(File::createFromMemSafe(ro + "/f", "x"));
        EXPECT_EQ(log.count("File::createFromMemSafe - failed creating temp file (path=" + ro +
                            "/f, prefix=" + ro + "/.tmp-f)"),
                  1);
    }
}

TEST(FileUtils, CreateDirOneLevelOrWithParents) {
    cutl::LogLines log;
    cutl::TempDir dir;
    EXPECT_TRUE(FileUtils::createDir(dir / "one/"));
    EXPECT_TRUE(FileUtils::isDirectory(dir / "one"));
    EXPECT_TRUE(FileUtils::createDir(dir / "one"));  // existing is success
    EXPECT_FALSE(FileUtils::createDir(dir / "a/b"));
    EXPECT_EQ(log.count("utl::FileUtils::createDir - failed to create '" + dir.path() +
                            "/a/b' : No such file or directory",
                        core::LOG_WARN),
              1);

    EXPECT_TRUE(FileUtils::createDir(dir / "a//b\\c/d", true));
    EXPECT_TRUE(FileUtils::isDirectory(dir / "a/b\\c/d"));
    EXPECT_TRUE(FileUtils::createDir(dir / "a/b", true));

    std::ofstream(dir / "file") << "x";
    EXPECT_FALSE(FileUtils::createDir(dir / "file/sub", true));
    EXPECT_FALSE(FileUtils::createDir(dir / "file"));
}

TEST(FileUtils, RenameReplacesAndReportsFailures) {
    cutl::LogLines log;
    cutl::TempDir dir;
    std::ofstream(dir / "from") << "new";
    std::ofstream(dir / "to") << "old";
    EXPECT_TRUE(FileUtils::renameFile(dir / "from", dir / "to"));
    EXPECT_EQ(contents(dir / "to"), "new");
    EXPECT_FALSE(FileUtils::exists(dir / "from"));

    EXPECT_FALSE(FileUtils::renameFile(dir / "from", dir / "x"));
    EXPECT_EQ(log.count("utl::FileUtils::renameFile - '" + dir.path() + "/from'=>'" + dir.path() +
                            "/x' failed : No such file or directory",
                        core::LOG_INFO),
              1);
    EXPECT_TRUE(FileUtils::deleteFile(dir / "to"));
    EXPECT_FALSE(FileUtils::deleteFile(dir / "to"));
    EXPECT_EQ(FileUtils::fileSize(dir / "to"), -1);

    EXPECT_EQ(FileUtils::dirName("/a/b\\c"), "/a/b");
    EXPECT_EQ(FileUtils::dirName("/x"), "/");
    EXPECT_EQ(FileUtils::dirName("x"), ".");
    EXPECT_EQ(FileUtils::baseName("/a/b\\c"), "c");
}

}  // namespace
}  // namespace utl
