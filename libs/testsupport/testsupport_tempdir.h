// testsupport_tempdir.h                                          -*-C++-*-
//
// Test helper: a fresh folder under the system's temporary folder, removed
// with everything in it when the object goes.
#ifndef INCLUDED_TESTSUPPORT_TEMPDIR
#define INCLUDED_TESTSUPPORT_TEMPDIR

#include <filesystem>
#include <random>
#include <string>

namespace testutil {

// 'utf8' as a path of the file system.  On Windows a path made from narrow
// text goes through the system's code page byte by byte; the program's paths
// are UTF-8.
inline std::filesystem::path u8path(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A prefix that puts a character outside ASCII into the folder's name, for
// tests of code that must take such paths.
inline constexpr const char* k_NON_ASCII_PREFIX = "lumivar-\xC3\xA9-";

class TempDir {
  public:
    // A new folder named 'prefix' and a random number; path() is UTF-8.
    explicit TempDir(const std::string& prefix = "lumivar-") {
        // A new folder of a random name (create_directory answers false when
        // the name exists), the same on every platform.
        std::random_device seed;
        std::mt19937_64 random(seed());
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && d_path.empty(); ++attempt) {
            const std::filesystem::path name =
                base / u8path(prefix + std::to_string(random() % 1000000000));
            std::error_code error;
            if (std::filesystem::create_directory(name, error)) {
                const std::u8string text = name.u8string();
                d_path.assign(text.begin(), text.end());
            }
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(u8path(d_path), ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return d_path; }
    std::string operator/(const std::string& name) const { return d_path + "/" + name; }

  private:
    std::string d_path;
};

}  // namespace testutil

#endif
