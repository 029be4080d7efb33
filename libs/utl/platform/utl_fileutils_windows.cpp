// Windows layer of the file utilities: wide-character calls on UTF-8 paths,
// renames with MoveFileExW write-through.
#ifdef _WIN32

#include <windows.h>

#include "core_v2masterlogger.h"
#include "utl_fileutils.h"
#include "utl_widepath.h"

namespace utl {

namespace {
bool attributesOf(std::string_view path, WIN32_FILE_ATTRIBUTE_DATA* data) {
    const std::wstring wide = widePath(path);
    return !wide.empty() && GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, data) != 0;
}
}  // namespace

bool FileUtils::createOneDir(std::string_view path) {
    const std::string p(path);
    const std::wstring wide = widePath(p);
    if (!wide.empty() && CreateDirectoryW(wide.c_str(), nullptr) != 0) {
        return true;
    }
    const DWORD error = wide.empty() ? ERROR_INVALID_NAME : GetLastError();
    if (error == ERROR_ALREADY_EXISTS && isDirectory(p)) {
        return true;
    }
    LOG_WARN("utl::FileUtils::createDir", "failed to create '%s' : %s", p,
             systemErrorText(error));
    return false;
}

// MoveFileExW with MOVEFILE_WRITE_THROUGH returns once the rename is on disk.
bool FileUtils::syncFolderOf(std::string_view) {
    return true;
}

bool FileUtils::renameFile(std::string_view from, std::string_view to) {
    const std::string f(from);
    const std::string t(to);
    const std::wstring wf = widePath(f);
    const std::wstring wt = widePath(t);
    if (wf.empty() || wt.empty() ||
        MoveFileExW(wf.c_str(), wt.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ==
            0) {
        LOG_INFO("utl::FileUtils::renameFile", "'%s'=>'%s' failed : %s", f, t,
                 systemErrorText(GetLastError()));
        return false;
    }
    return true;
}

bool FileUtils::deleteFile(std::string_view path) {
    const std::wstring wide = widePath(path);
    return !wide.empty() && DeleteFileW(wide.c_str()) != 0;
}

bool FileUtils::exists(std::string_view path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return attributesOf(path, &data);
}

bool FileUtils::isDirectory(std::string_view path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return attributesOf(path, &data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileUtils::isRegularFile(std::string_view path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return attributesOf(path, &data) &&
           (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

int64_t FileUtils::fileSize(std::string_view path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!attributesOf(path, &data)) {
        return -1;
    }
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool FileUtils::readFile(std::string_view path, std::string* out) {
    out->clear();
    const std::wstring wide = widePath(path);
    if (wide.empty()) {
        return false;
    }
    // Others may go on writing, renaming or deleting the file meanwhile.
    const HANDLE file =
        CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Only files on disk: a pipe or a device (CON, NUL, COM1) is refused.
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || GetFileInformationByHandle(file, &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(file);
        return false;
    }
    char buf[65536];
    for (;;) {
        DWORD n = 0;
        if (ReadFile(file, buf, sizeof buf, &n, nullptr) == 0) {
            CloseHandle(file);
            out->clear();
            return false;
        }
        if (n == 0) {
            break;
        }
        out->append(buf, n);
    }
    CloseHandle(file);
    return true;
}

}  // namespace utl

#endif
