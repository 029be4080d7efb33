// kutl_logfile.h                                                  -*-C++-*-
//
// 'kutl::LogFile': the rotating logger's file, opened for one flush, appended
// to, and moved away when full.  On Windows it is opened with read, write and
// delete sharing, so it can be moved while open, and a reader that holds it
// without delete sharing (an editor, "Get-Content -Wait", a virus scanner)
// does not stop the rotation: the content is then copied to the target and
// the file emptied.  Nothing here logs (the logger calls it holding its file
// lock); failures are answered with the system's reason.  The platform forms
// live in platform/kutl_logfile_*.cpp.
//
// Thread safety: one object per thread; the free functions are reentrant.
#ifndef INCLUDED_KUTL_LOGFILE
#define INCLUDED_KUTL_LOGFILE

#include <cstdint>
#include <string>
#include <string_view>

namespace kutl {

class LogFile {
  public:
    // CREATORS
    LogFile() = default;
    // Closes the file.
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // MANIPULATORS
    // Opens 'path' (UTF-8) for appending, creating it (owner read and write
    // where modes exist); a child process never inherits it.  False when it
    // cannot be opened.
    bool open(const std::string& path);
    // Appends 'bytes'; false unless all of them were written.
    bool append(std::string_view bytes);
    // Moves the open file to 'target', replacing it, written through to disk.
    // Empty on success, otherwise the system's reason.
    std::string moveTo(const std::string& target);
    void close();

    // ACCESSORS
    // The size in bytes, or -1.
    int64_t size() const;

  private:
    std::string d_path;
#ifdef _WIN32
    void* d_handle = nullptr;
#else
    int d_fd = -1;
#endif
};

// Renames the file 'from' to 'to' (UTF-8), replacing 'to', written through.
// Empty on success, otherwise the system's reason.
std::string renameLogFile(const std::string& from, const std::string& to);

}  // namespace kutl

#endif
