// Windows layer of the atomic file replacement: a new file in the target's
// folder, FlushFileBuffers, then MoveFileExW over the target with
// write-through.  The permission mode has no meaning here: the file gets the
// access list its folder passes on.
#ifdef _WIN32

#include <windows.h>

#include <atomic>
#include <string>

#include "core_assert.h"
#include "core_v2masterlogger.h"
#include "utl_file.h"
#include "utl_fileutils.h"
#include "utl_widepath.h"

namespace utl {

namespace {

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace file_loc {
constexpr int k_NOT_A_FOLDER = 890;
}  // namespace file_loc

// A temporary file that did not exist before, or INVALID_HANDLE_VALUE.
HANDLE createTemp(const std::string& prefix, std::string* name) {
    static std::atomic<unsigned> s_counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned unique = (GetCurrentProcessId() << 12) ^ (GetTickCount() << 4) ^
                                s_counter.fetch_add(1);
        char suffix[16];
        snprintf(suffix, sizeof suffix, ".%06x", unique & 0xffffff);
        *name = prefix + suffix;
        const HANDLE file = CreateFileW(widePath(*name).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

bool writeAll(HANDLE file, const char* data, size_t size) {
    while (size > 0) {
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD n = 0;
        if (WriteFile(file, data, chunk, &n, nullptr) == 0) {
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

}  // namespace

bool File::createFromMemSafe(std::string_view path, const void* data, size_t size, int mode) {
    const std::string target(path);
    const std::string folder = FileUtils::dirName(target);
    if (!CHECKF_NOSTOP_AT(FileUtils::isDirectory(folder), "utl_file", file_loc::k_NOT_A_FOLDER,
                          "%s", folder)) {
        return false;
    }
    // The temporary file is named with the separator the path uses.
    const size_t last = target.find_last_of("/\\");
    const char separator = last == std::string::npos ? '\\' : target[last];
    const std::string prefix =
        folder + separator + std::string(k_TEMP_PREFIX) + FileUtils::baseName(target);
    std::string temp;
    const HANDLE file = createTemp(prefix, &temp);
    if (file == INVALID_HANDLE_VALUE) {
        LOG_WARN("File::createFromMemSafe", "failed creating temp file (path=%s, prefix=%s)",
                 target, prefix);
        return false;
    }
    constexpr int k_FLAGS = CREATE_NEW;
    const bool written =
        writeAll(file, static_cast<const char*>(data), size) && FlushFileBuffers(file) != 0;
    const bool closed = CloseHandle(file) != 0;
    const std::wstring wideTemp = widePath(temp);
    if (!written || !closed) {
        LOG_WARN("utl::File::createFromMemSafe",
                 "(%s,%uB,flags=%d,mode=%d) - failed creating temp file '%s'", target, size,
                 k_FLAGS, mode, temp);
        DeleteFileW(wideTemp.c_str());
        return false;
    }
    if (MoveFileExW(wideTemp.c_str(), widePath(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        LOG_WARN("utl::File::createFromMemSafe",
                 "(%s,%uB,flags=%d,mode=%d) - failed renaming file from temporary '%s'", target,
                 size, k_FLAGS, mode, temp);
        DeleteFileW(wideTemp.c_str());
        return false;
    }
    return true;
}

}  // namespace utl

#endif
