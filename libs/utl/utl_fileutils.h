// utl_fileutils.h                                                 -*-C++-*-
//
// 'utl::FileUtils': small file-system helpers shared by the service and the
// configuration tool (folder creation, renaming with write-through, status
// queries, whole-file reads).  Failures are answered as false and logged
// where the caller's operation names it.
//
// Thread safety: all functions are reentrant.
#ifndef INCLUDED_UTL_FILEUTILS
#define INCLUDED_UTL_FILEUTILS

#include <cstdint>
#include <string>
#include <string_view>

namespace utl {

class FileUtils {
  public:
    // Creates the folder 'path'.  Without 'withParents' one level is created
    // (one trailing "/" or "\" is ignored); with it the path is split at "/"
    // and "\" and each prefix is created in turn.  An existing folder counts
    // as success.  A failure logs WARN "failed to create '%s' : %s".
    static bool createDir(std::string_view path, bool withParents = false);

    // Renames 'from' to 'to', replacing 'to', and writes the change through
    // to disk.  A failure logs INFO "'%s'=>'%s' failed : %s".
    static bool renameFile(std::string_view from, std::string_view to);

    // Deletes the file 'path'; false when it could not be deleted.
    static bool deleteFile(std::string_view path);

    static bool exists(std::string_view path);
    static bool isDirectory(std::string_view path);
    static bool isRegularFile(std::string_view path);
    // The size in bytes, or -1.
    static int64_t fileSize(std::string_view path);

    // Reads the whole file into '*out'; false when it cannot be read or is not
    // a regular file (pipes and devices are refused without waiting).
    static bool readFile(std::string_view path, std::string* out);

    // The folder part of 'path' (up to the last "/" or "\"), "." when there
    // is none.
    static std::string dirName(std::string_view path);
    // The part of 'path' after the last "/" or "\".
    static std::string baseName(std::string_view path);

    // Flushes the folder holding 'path' to disk (makes a rename durable).
    static bool syncFolderOf(std::string_view path);

  private:
    static bool createOneDir(std::string_view path);
};

}  // namespace utl

#endif
