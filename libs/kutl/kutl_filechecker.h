// kutl_filechecker.h                                              -*-C++-*-
//
// 'kutl::FileChecker' watches one path with a periodic kernel timer and tells
// its 'kutl::FileCheckerOwner' when the file appears, changes (its
// modification time, size, file serial number or status-change time differs,
// 'kutl::FileState') or disappears.  A folder at the path counts as no file.
//
// Thread safety: the kernel's loop thread only.
#ifndef INCLUDED_KUTL_FILECHECKER
#define INCLUDED_KUTL_FILECHECKER

#include <cstdint>
#include <string>

#include "kern_timers.h"
#include "kutl_filestate.h"

namespace kutl {

class FileChecker;

class FileCheckerOwner {
  public:
    // Kinds of change.
    enum Change : int { e_CREATED = 0, e_MODIFIED = 1, e_REMOVED = 2 };

    virtual ~FileCheckerOwner();
    virtual void handleFileChanged(FileChecker* checker, int kind, const std::string& path) = 0;
};

class FileChecker : public kern::TimerInterface {
  public:
    // CREATORS
    // Records the file's current state and checks it every 'periodMs'.
    FileChecker(std::string path, FileCheckerOwner* owner, int periodMs);
    ~FileChecker();

    // MANIPULATORS
    // Compares the file with the recorded state now (the timer calls this).
    void check();

    // ACCESSORS
    const std::string& path() const { return d_path; }
    // 0: no file; -1: the status query failed; otherwise the modification time.
    int64_t recordedTime() const { return d_recorded.time; }

    // The state of 'path' as recorded: 0 when missing or a folder, -1 when the
    // query fails, else the modification time in nanoseconds.
    static int64_t fileTime(const std::string& path) { return fileStateOf(path).time; }

  private:
    bool handleTimeout(int64_t id) override;

    std::string d_path;
    FileCheckerOwner* d_owner;
    FileState d_recorded;
    kern::TimerId d_timer;
};

}  // namespace kutl

#endif
