#include "kutl_filechecker.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace kutl {

namespace {

// What besides the modification time tells one version of the file from the
// next: the time stamp is coarse (a few ms), and a file replaced twice within
// one tick would otherwise look unchanged.
FileChecker::Identity identityOf(const std::string& path) {
    FileChecker::Identity id;
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    id.size = ec ? -1 : static_cast<int64_t>(size);
#ifndef _WIN32
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        id.inode = static_cast<uint64_t>(st.st_ino);
        id.change_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    }
#endif
    return id;
}

}  // namespace

FileCheckerOwner::~FileCheckerOwner() = default;

FileChecker::FileChecker(std::string path, FileCheckerOwner* owner, int periodMs)
    : d_path(std::move(path)), d_owner(owner), d_recorded(fileTime(d_path)) {
    if (d_recorded != 0) {
        d_identity = identityOf(d_path);
    }
    setTimer(d_timer, periodMs);
}

FileChecker::~FileChecker() {
    killTimer(d_timer);
}

int64_t FileChecker::fileTime(const std::string& path) {
    std::error_code ec;
    std::filesystem::file_status status = std::filesystem::status(path, ec);
    // A missing file, or a missing folder on the way to it, is no file.
    if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
        return -1;
    }
    if (!std::filesystem::exists(status) || std::filesystem::is_directory(status)) {
        return 0;
    }
    auto time = std::filesystem::last_write_time(path, ec);
    if (ec) {
        return -1;
    }
    int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
    // 0 and -1 carry their own meaning.
    return ns == 0 || ns == -1 ? 1 : ns;
}

void FileChecker::check() {
    int64_t now = fileTime(d_path);
    if (now != 0) {
        const Identity identity = identityOf(d_path);
        if (now != d_recorded || !(identity == d_identity)) {
            int kind = d_recorded == 0 ? FileCheckerOwner::e_CREATED : FileCheckerOwner::e_MODIFIED;
            d_recorded = now;
            d_identity = identity;
            if (d_owner) {
                d_owner->handleFileChanged(this, kind, d_path);
            }
        }
    } else if (d_recorded != 0) {
        d_recorded = 0;
        d_identity = Identity();
        if (d_owner) {
            d_owner->handleFileChanged(this, FileCheckerOwner::e_REMOVED, d_path);
        }
    }
}

bool FileChecker::handleTimeout(int64_t id) {
    if (id != d_timer.id()) {
        return false;
    }
    check();
    return true;
}

}  // namespace kutl
