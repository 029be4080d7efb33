// POSIX form of the settings trust rule: the file and its folder must be
// owned by root or by the user the service runs as, and writable by neither
// group nor others.
#ifndef _WIN32

#include <sys/stat.h>
#include <unistd.h>

#include "core_varargs.h"
#include "cutl_settingstrust.h"

namespace cutl {

namespace {

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

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string settingsTrustProblem(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return {};
    }
    std::string problem = problemOf(path, st);
    if (!problem.empty()) {
        return problem;
    }
    const std::string folder = folderOf(path);
    if (::stat(folder.c_str(), &st) != 0) {
        return {};
    }
    return problemOf(folder, st);
}

std::string protectDataFolder(const std::string&) {
    return {};
}

}  // namespace cutl

#endif
