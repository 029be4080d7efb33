#include "kutl_filechecker.h"

#include <filesystem>
#include <system_error>

namespace kutl {

FileCheckerOwner::~FileCheckerOwner() = default;

FileChecker::FileChecker(std::string path, FileCheckerOwner* owner, int periodMs)
    : d_path(std::move(path)), d_owner(owner), d_recorded(fileTime(d_path)) {
    setTimer(d_timer, periodMs);
}

FileChecker::~FileChecker() {
    killTimer(d_timer);
}

int64_t FileChecker::fileTime(const std::string& path) {
    std::error_code ec;
    std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
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
        if (now != d_recorded) {
            int kind = d_recorded == 0 ? FileCheckerOwner::e_CREATED : FileCheckerOwner::e_MODIFIED;
            d_recorded = now;
            if (d_owner) {
                d_owner->handleFileChanged(this, kind, d_path);
            }
        }
    } else if (d_recorded != 0) {
        d_recorded = 0;
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
