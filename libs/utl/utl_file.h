// utl_file.h                                                      -*-C++-*-
//
// 'utl::File': whole-file writing.  'createFromMemSafe' replaces a file
// atomically: the bytes go to a temporary file in the target's folder, which
// is flushed to disk and then renamed over the target, so a reader (or a
// file watch) sees either the old or the new file, never a partial one.
//
// Thread safety: all functions are reentrant.
#ifndef INCLUDED_UTL_FILE
#define INCLUDED_UTL_FILE

#include <cstddef>
#include <string_view>

namespace utl {

class File {
  public:
    // Prefix of the temporary files, followed by the target's name.
    static constexpr std::string_view k_TEMP_PREFIX = ".tmp-";

    // Replaces 'path' with 'size' bytes at 'data', with permission 'mode'.
    // The target's folder must exist (a failed check that never stops the
    // process otherwise).  Failures log WARN, leave the target as it was and
    // answer false.
    static bool createFromMemSafe(std::string_view path, const void* data, size_t size,
                                  int mode = 0600);
    static bool createFromMemSafe(std::string_view path, std::string_view bytes, int mode = 0600) {
        return createFromMemSafe(path, bytes.data(), bytes.size(), mode);
    }
};

}  // namespace utl

#endif
