// cutl_tempdir_testutil.h                                         -*-C++-*-
//
// Test helper: a fresh folder under the system's temporary folder, removed
// with everything in it when the object goes.
#ifndef INCLUDED_CUTL_TEMPDIR_TESTUTIL
#define INCLUDED_CUTL_TEMPDIR_TESTUTIL

#include <filesystem>
#include <random>
#include <string>

namespace cutl {

class TempDir {
  public:
    TempDir() {
        // A new folder of a random name (create_directory answers false when
        // the name exists), the same on every platform.
        std::random_device seed;
        std::mt19937_64 random(seed());
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && d_path.empty(); ++attempt) {
            const std::string name = "lumivar-" + std::to_string(random() % 1000000000);
            std::error_code error;
            if (std::filesystem::create_directory(base / name, error)) {
                d_path = (base / name).string();
            }
        }
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
