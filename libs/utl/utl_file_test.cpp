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

#ifdef _WIN32
// The system's message texts differ between Windows versions (and Wine).
const std::string k_NOT_FOUND;
const std::string k_TEMP_FLAGS = "1";  // CREATE_NEW
const std::string k_DEVICE = "NUL";
#else
const std::string k_NOT_FOUND = "No such file or directory";
const std::string k_TEMP_FLAGS = "194";  // O_RDWR | O_CREAT | O_EXCL
const std::string k_DEVICE = "/dev/null";
#endif

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
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const ino_t before = st.st_ino;
#endif

    ASSERT_TRUE(File::createFromMemSafe(path, std::string(100000, 'n'), 0640));
#ifndef _WIN32
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_NE(st.st_ino, before);  // a new file took the name, not a rewrite
#endif
    EXPECT_EQ(contents(path), std::string(100000, 'n'));
    EXPECT_EQ(entries(dir.path()), 1u);  // no temporary file left behind
    EXPECT_TRUE(File::createFromMemSafe(path, ""));
    EXPECT_EQ(FileUtils::fileSize(path), 0);
    EXPECT_EQ(log.lines().size(), 0u);

#ifndef _WIN32
    // Saved by root into a folder a service account owns: the account gets
    // the file, so the service can read it.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
        ASSERT_TRUE(File::createFromMemSafe(path, "new"));
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
#endif
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
                            ",3B,flags=" + k_TEMP_FLAGS + ",mode=384) - failed renaming file from temporary '" +
                            dir.path() + "/.tmp-taken.",
                        core::LOG_WARN),
              1);
    EXPECT_TRUE(FileUtils::isDirectory(folder));
    EXPECT_EQ(entries(dir.path()), 1u);

#ifndef _WIN32
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
#endif
}

// Names are UTF-8 on every platform, whatever the system's code page; only
// regular files are read.
TEST(FileUtils, NonAsciiNamesAndRegularFilesOnly) {
    cutl::LogLines log;
    cutl::TempDir dir;
    const std::string folder = dir / "D\xc3\xa4ten \xe2\x98\x83";
    ASSERT_TRUE(FileUtils::createDir(folder + "/Logs", true));
    const std::string path = folder + "/Settings \xce\xa9";
    ASSERT_TRUE(File::createFromMemSafe(path, "[NVR]\r\nPort=1\r\n"));
    EXPECT_TRUE(FileUtils::isRegularFile(path));
    EXPECT_EQ(FileUtils::fileSize(path), 15);
    EXPECT_EQ(contents(path), "[NVR]\r\nPort=1\r\n");  // bytes as written
    EXPECT_TRUE(FileUtils::renameFile(path, folder + "/Settings"));
    EXPECT_EQ(contents(folder + "/Settings"), "[NVR]\r\nPort=1\r\n");

    std::string out = "stale";
    EXPECT_FALSE(FileUtils::readFile(folder, &out));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(FileUtils::readFile(k_DEVICE, &out));
    EXPECT_FALSE(FileUtils::isRegularFile(folder));
    EXPECT_EQ(log.lines().size(), 0u);
}

TEST(FileUtils, CreateDirOneLevelOrWithParents) {
    cutl::LogLines log;
    cutl::TempDir dir;
    EXPECT_TRUE(FileUtils::createDir(dir / "one/"));
    EXPECT_TRUE(FileUtils::isDirectory(dir / "one"));
    EXPECT_TRUE(FileUtils::createDir(dir / "one"));  // existing is success
    EXPECT_FALSE(FileUtils::createDir(dir / "a/b"));
    EXPECT_EQ(log.count("utl::FileUtils::createDir - failed to create '" + dir.path() +
                            "/a/b' : " + k_NOT_FOUND,
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
                            "/x' failed : " + k_NOT_FOUND,
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
