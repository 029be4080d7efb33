#include "cutl_environment.h"

#ifdef _WIN32
#include <shlobj.h>
#include <windows.h>
#else
#include <cstdlib>
#endif

#include "core_assert.h"

namespace cutl {

#ifdef _WIN32
const char k_PATH_SEPARATOR = '\\';
#else
const char k_PATH_SEPARATOR = '/';
#endif

namespace {

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace environment_loc {
constexpr int k_NO_COMMON_DATA_DIR = 106;
}  // namespace environment_loc

// Answers the folder, or false when the platform cannot tell.
bool queryCommonDataDir(std::string* out) {
#ifdef _WIN32
    // Wide, then UTF-8: the program's file names are UTF-8 whatever the code page.
    wchar_t path[MAX_PATH];
    if (FAILED(
            SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) {
        return false;
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) {
        return false;
    }
    out->assign(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path, -1, out->data(), n, nullptr, nullptr);
    return true;
#else
    // PROGRAMDATA relocates the data as on Windows; an empty value names no
    // folder at all.
    const char* value = std::getenv("PROGRAMDATA");
    if (value == nullptr) {
        out->assign("/var/lib");
        return true;
    }
    if (*value == '\0') {
        return false;
    }
    out->assign(value);
    return true;
#endif
}

std::string join(std::string base, const char* name) {
    base += k_PATH_SEPARATOR;
    base += name;
    return base;
}

}  // namespace

std::string commonDataDir() {
    std::string dir;
    if (!CHECKF_NOSTOP_AT(queryCommonDataDir(&dir), "cutl_environment",
                          environment_loc::k_NO_COMMON_DATA_DIR)) {
        return "./data";
    }
    return dir;
}

std::string productDataDir() {
    return join(join(commonDataDir(), "Tessarin"), "Lumivar");
}

std::string settingsFilePath() {
    return join(productDataDir(), "Settings");
}

std::string logDir() {
    return join(productDataDir(), "Logs");
}

}  // namespace cutl
