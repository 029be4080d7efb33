// POSIX layer of the file utilities.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core_v2masterlogger.h"
#include "utl_fileutils.h"

namespace utl {

namespace {
struct stat statOf(std::string_view path, bool* ok) {
    struct stat st {};
    *ok = ::stat(std::string(path).c_str(), &st) == 0;
    return st;
}
}  // namespace

bool FileUtils::createOneDir(std::string_view path) {
    const std::string p(path);
    if (::mkdir(p.c_str(), 0755) == 0) {
        return true;
    }
    const int error = errno;
    if (error == EEXIST && isDirectory(p)) {
        return true;
    }
    LOG_WARN("utl::FileUtils::createDir", "failed to create '%s' : %s", p, std::strerror(error));
    return false;
}

bool FileUtils::syncFolderOf(std::string_view path) {
    const int fd = ::open(dirName(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool FileUtils::renameFile(std::string_view from, std::string_view to) {
    const std::string f(from);
    const std::string t(to);
    if (::rename(f.c_str(), t.c_str()) != 0) {
        LOG_INFO("utl::FileUtils::renameFile", "'%s'=>'%s' failed : %s", f, t,
                 std::strerror(errno));
        return false;
    }
    syncFolderOf(t);
    return true;
}

bool FileUtils::deleteFile(std::string_view path) {
    return ::unlink(std::string(path).c_str()) == 0;
}

bool FileUtils::exists(std::string_view path) {
    bool ok;
    statOf(path, &ok);
    return ok;
}

bool FileUtils::isDirectory(std::string_view path) {
    bool ok;
    const struct stat st = statOf(path, &ok);
    return ok && S_ISDIR(st.st_mode);
}

bool FileUtils::isRegularFile(std::string_view path) {
    bool ok;
    const struct stat st = statOf(path, &ok);
    return ok && S_ISREG(st.st_mode);
}

int64_t FileUtils::fileSize(std::string_view path) {
    bool ok;
    const struct stat st = statOf(path, &ok);
    return ok ? static_cast<int64_t>(st.st_size) : -1;
}

bool FileUtils::readFile(std::string_view path, std::string* out) {
    out->clear();
    // Only regular files: a pipe would block the open or the read, a device
    // such as /dev/zero would never end.
    const int fd = ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ::close(fd);
            out->clear();
            return false;
        }
        if (n == 0) {
            break;
        }
        out->append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

}  // namespace utl

#endif
