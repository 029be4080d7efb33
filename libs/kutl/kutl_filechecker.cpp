#include "kutl_filechecker.h"

namespace kutl {

FileCheckerOwner::~FileCheckerOwner() = default;

FileChecker::FileChecker(std::string path, FileCheckerOwner* owner, int periodMs)
    : d_path(std::move(path)), d_owner(owner), d_recorded(fileStateOf(d_path)) {
    setTimer(d_timer, periodMs);
}

FileChecker::~FileChecker() {
    killTimer(d_timer);
}

void FileChecker::check() {
    const FileState now = fileStateOf(d_path);
    if (now.time != 0) {
        // Besides the modification time, which may stay within one tick of
        // the file system's clock across two versions.
        if (now != d_recorded) {
            const int kind =
                d_recorded.time == 0 ? FileCheckerOwner::e_CREATED : FileCheckerOwner::e_MODIFIED;
            d_recorded = now;
            if (d_owner) {
                d_owner->handleFileChanged(this, kind, d_path);
            }
        }
    } else if (d_recorded.time != 0) {
        d_recorded = FileState();
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
