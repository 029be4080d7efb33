// POSIX layer of the atomic file replacement: mkostemp in the target's
// folder, fsync of the file, rename over the target, fsync of the folder.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core_assert.h"
#include "core_v2masterlogger.h"
#include "utl_file.h"
#include "utl_fileutils.h"

namespace utl {

namespace {

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace file_loc {
constexpr int k_NOT_A_FOLDER = 890;
}  // namespace file_loc

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool File::createFromMemSafe(std::string_view path, const void* data, size_t size, int mode) {
    const std::string target(path);
    const std::string folder = FileUtils::dirName(target);
    if (!CHECKF_NOSTOP_AT(FileUtils::isDirectory(folder), "utl_file", file_loc::k_NOT_A_FOLDER,
                          "%s", folder)) {
        return false;
    }
    const std::string prefix =
        folder + "/" + std::string(k_TEMP_PREFIX) + FileUtils::baseName(target);
    std::string temp = prefix + ".XXXXXX";
    // Not inherited by a child started while the file is open.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        LOG_WARN("File::createFromMemSafe", "failed creating temp file (path=%s, prefix=%s)",
                 target, prefix);
        return false;
    }
    // How mkostemp opens the file (close-on-exec besides), for the reports.
    constexpr int k_FLAGS = O_RDWR | O_CREAT | O_EXCL;
    // Saved by an administrator into a folder that a service account owns,
    // the file goes to that account so that the service can read it; the
    // mode keeps everyone else out.
    struct stat folderStat;
    if (::geteuid() == 0 && ::stat(folder.c_str(), &folderStat) == 0 && folderStat.st_uid != 0) {
        (void)!::fchown(fd, folderStat.st_uid, folderStat.st_gid);
    }
    const bool written = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 &&
                         writeAll(fd, static_cast<const char*>(data), size) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        LOG_WARN("utl::File::createFromMemSafe",
                 "(%s,%uB,flags=%d,mode=%d) - failed creating temp file '%s'", target, size,
                 k_FLAGS, mode, temp);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        LOG_WARN("utl::File::createFromMemSafe",
                 "(%s,%uB,flags=%d,mode=%d) - failed renaming file from temporary '%s'", target,
                 size, k_FLAGS, mode, temp);
        ::unlink(temp.c_str());
        return false;
    }
    FileUtils::syncFolderOf(target);
    return true;
}

}  // namespace utl

#endif
