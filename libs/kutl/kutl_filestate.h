// kutl_filestate.h                                                -*-C++-*-
//
// 'kutl::FileState': what tells one version of a file from the next for the
// file watch: the modification time, the size, the file's serial number (a
// replacement is a new file) and the time its status last changed.  The
// platform forms live in platform/kutl_filestate_*.cpp; on Windows the times
// are UTC with 100 ns steps, read without the C run-time (whose 'stat'
// answers whole seconds shifted by the local-time offset).
//
// Thread safety: reentrant.
#ifndef INCLUDED_KUTL_FILESTATE
#define INCLUDED_KUTL_FILESTATE

#include <cstdint>
#include <string>

namespace kutl {

struct FileState {
    // 0: no file (missing, or a folder at the path); -1: the query failed;
    // otherwise the modification time in nanoseconds (never 0 or -1).
    int64_t time = 0;
    int64_t size = -1;
    uint64_t id = 0;
    int64_t change_ns = 0;
    bool operator==(const FileState& o) const {
        return time == o.time && size == o.size && id == o.id && change_ns == o.change_ns;
    }
    bool operator!=(const FileState& o) const { return !(*this == o); }
};

// The state of the file 'path' (UTF-8) now.
FileState fileStateOf(const std::string& path);

}  // namespace kutl

#endif
