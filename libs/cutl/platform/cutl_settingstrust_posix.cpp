// POSIX form of the settings trust rule: the file and its folder must be
// owned by root or by the user the service runs as and be writable by
// neither group nor others; neither may be a symbolic link; every folder
// above them must be writable only by root or that user (a folder with the
// sticky bit that root owns, such as /tmp, counts as protected: others may
// add entries there but not move ours).  Everything is checked through the
// descriptors that the file is then read from.
#ifndef _WIN32

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "core_varargs.h"
#include "cutl_settingstrust.h"

namespace cutl {

namespace {

// More than any settings file holds; a larger one is not read.
constexpr size_t k_MAX_SETTINGS_BYTES = 1 << 20;

// Closes a descriptor when it goes.
class Descriptor {
  public:
    explicit Descriptor(int fd) : d_fd(fd) {}
    ~Descriptor() {
        if (d_fd >= 0) {
            ::close(d_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return d_fd; }
    void reset(int fd) {
        if (d_fd >= 0) {
            ::close(d_fd);
        }
        d_fd = fd;
    }

  private:
    int d_fd;
};

// Empty when 'st' of 'path' is protected.
std::string problemOf(const std::string& path, const struct stat& st) {
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return core::strFormat("'%s' is writable by group or others (mode %o)", path,
                               static_cast<unsigned>(st.st_mode & 07777));
    }
    const uid_t self = ::geteuid();
    if (st.st_uid != 0 && st.st_uid != self) {
        return core::strFormat("'%s' is owned by user %u, not by root or the service's user (%u)",
                               path, static_cast<unsigned>(st.st_uid), static_cast<unsigned>(self));
    }
    return {};
}

// A folder above the data folder: as 'problemOf', except that a sticky
// folder of root's may be writable by others.
std::string ancestorProblemOf(const std::string& path, const struct stat& st) {
    if (st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0) {
        return {};
    }
    return problemOf(path, st);
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string parentName(const std::string& path) {
    return path == "/" ? path : folderOf(path);
}

// Every folder above the open folder 'fd' (named 'path'), up to the root.
std::string ancestorsProblem(int fd, const std::string& path) {
    char resolved[PATH_MAX];
    std::string name = ::realpath(path.c_str(), resolved) ? resolved : path;
    Descriptor current(::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat below;
    if (::fstat(fd, &below) != 0) {
        return core::strFormat("'%s' cannot be examined (errno %d)", path, errno);
    }
    for (int depth = 0; depth < 256; ++depth) {
        name = parentName(name);
        struct stat st;
        if (current.get() < 0 || ::fstat(current.get(), &st) != 0) {
            return core::strFormat("the folder above '%s' cannot be examined (errno %d)", path,
                                   errno);
        }
        if (st.st_dev == below.st_dev && st.st_ino == below.st_ino) {
            return {};  // the root is its own parent
        }
        std::string problem = ancestorProblemOf(name, st);
        if (!problem.empty()) {
            return problem;
        }
        below = st;
        current.reset(::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    return core::strFormat("'%s' lies too deep", path);
}

// Opens, checks and reads the file; answers the problem, empty when read or
// when the file does not exist ('*found' false).
std::string openChecked(const std::string& path, std::string* text, bool* found) {
    *found = false;
    const std::string folder = folderOf(path);
    const std::string name = path.substr(path.find_last_of('/') + 1);
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0) {
        if (errno == ELOOP || errno == ENOTDIR) {
            struct stat st;
            if (::lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                return core::strFormat("'%s' is a symbolic link", folder);
            }
        }
        return {};
    }
    struct stat st;
    if (::fstat(dir.get(), &st) != 0) {
        return core::strFormat("'%s' cannot be examined (errno %d)", folder, errno);
    }
    Descriptor file(
        ::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == ELOOP) {
            return core::strFormat("'%s' is a symbolic link", path);
        }
        return {};
    }
    std::string problem = problemOf(folder, st);
    if (!problem.empty()) {
        return problem;
    }
    problem = ancestorsProblem(dir.get(), folder);
    if (!problem.empty()) {
        return problem;
    }
    if (::fstat(file.get(), &st) != 0) {
        return core::strFormat("'%s' cannot be examined (errno %d)", path, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return core::strFormat("'%s' is not a regular file", path);
    }
    problem = problemOf(path, st);
    if (!problem.empty()) {
        return problem;
    }
    if (static_cast<size_t>(st.st_size) > k_MAX_SETTINGS_BYTES) {
        return core::strFormat("'%s' is larger than %u bytes", path,
                               static_cast<unsigned>(k_MAX_SETTINGS_BYTES));
    }
    text->clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return {};  // unreadable: fails on its own, '*found' stays false
        }
        if (n == 0) {
            break;
        }
        if (text->size() + static_cast<size_t>(n) > k_MAX_SETTINGS_BYTES) {
            return core::strFormat("'%s' is larger than %u bytes", path,
                                   static_cast<unsigned>(k_MAX_SETTINGS_BYTES));
        }
        text->append(buffer, static_cast<size_t>(n));
    }
    *found = true;
    return {};
}

}  // namespace

bool readTrustedSettings(const std::string& path, std::string* text, std::string* problem) {
    bool found = false;
    text->clear();
    *problem = openChecked(path, text, &found);
    if (!problem->empty() || !found) {
        text->clear();
        return false;
    }
    return true;
}

std::string settingsTrustProblem(const std::string& path) {
    std::string text;
    std::string problem;
    readTrustedSettings(path, &text, &problem);
    return problem;
}

std::string protectDataFolder(const std::string&) {
    return {};
}

std::string ownNewFilesAsAdministrators() {
    return {};
}

}  // namespace cutl

#endif
