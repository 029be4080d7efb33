// cutl_tempdir_testutil.h                                         -*-C++-*-
//
// Test helper: a fresh folder under the system's temporary folder, removed
// with everything in it when the object goes.
#ifndef INCLUDED_CUTL_TEMPDIR_TESTUTIL
#define INCLUDED_CUTL_TEMPDIR_TESTUTIL

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace cutl {

class TempDir {
  public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "lumivar-XXXXXX").string();
        d_path = ::mkdtemp(templ.data()) ? templ : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(d_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return d_path; }
    std::string operator/(const std::string& name) const { return d_path + "/" + name; }

  private:
    std::string d_path;
};

}  // namespace cutl

#endif
