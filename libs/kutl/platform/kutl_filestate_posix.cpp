// POSIX form of the file state: stat's nanosecond times and inode.
#ifndef _WIN32

#include <sys/stat.h>

#include <cerrno>

#include "kutl_filestate.h"

namespace kutl {

FileState fileStateOf(const std::string& path) {
    FileState state;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        // A missing file, or a missing folder on the way to it, is no file.
        state.time = errno == ENOENT || errno == ENOTDIR ? 0 : -1;
        return state;
    }
    if (S_ISDIR(st.st_mode)) {
        return state;
    }
    const int64_t ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    state.time = ns == 0 || ns == -1 ? 1 : ns;
    state.size = static_cast<int64_t>(st.st_size);
    state.id = static_cast<uint64_t>(st.st_ino);
    state.change_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return state;
}

}  // namespace kutl

#endif
