// Windows form of the log file: a handle opened with read, write and delete
// sharing; a move refused because someone else holds the file without delete
// sharing becomes a copy and an emptying through this handle.
#ifdef _WIN32

#include <windows.h>

#include "kutl_logfile.h"
#include "utl_widepath.h"

namespace kutl {

LogFile::~LogFile() {
    close();
}

bool LogFile::open(const std::string& path) {
    close();
    d_path = path;
    const std::wstring wide = utl::widePath(path);
    if (wide.empty()) {
        return false;
    }
    // Not inheritable: no security attributes.
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    d_handle = file;
    return true;
}

bool LogFile::append(std::string_view bytes) {
    if (!d_handle) {
        return false;
    }
    LARGE_INTEGER zero{};
    DWORD written = 0;
    return SetFilePointerEx(d_handle, zero, nullptr, FILE_END) &&
           WriteFile(d_handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string LogFile::moveTo(const std::string& target) {
    const std::wstring from = utl::widePath(d_path);
    const std::wstring to = utl::widePath(target);
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return {};
    }
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION || !d_handle) {
        return utl::systemErrorText(error);
    }
    // Held by a reader that does not share deletion: copy, then empty.
    std::string content;
    const int64_t total = size();
    LARGE_INTEGER zero{};
    if (total < 0 || !SetFilePointerEx(d_handle, zero, nullptr, FILE_BEGIN)) {
        return utl::systemErrorText(GetLastError());
    }
    content.resize(static_cast<size_t>(total));
    size_t at = 0;
    while (at < content.size()) {
        DWORD n = 0;
        if (!ReadFile(d_handle, content.data() + at, static_cast<DWORD>(content.size() - at), &n,
                      nullptr) ||
            n == 0) {
            return utl::systemErrorText(error);
        }
        at += n;
    }
    // Written here rather than by the file utilities, which log.
    const HANDLE copy = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (copy == INVALID_HANDLE_VALUE) {
        return utl::systemErrorText(GetLastError());
    }
    DWORD copied = 0;
    const bool whole =
        WriteFile(copy, content.data(), static_cast<DWORD>(content.size()), &copied, nullptr) &&
        copied == content.size();
    const DWORD copyError = GetLastError();
    CloseHandle(copy);
    if (!whole) {
        return utl::systemErrorText(copyError);
    }
    if (!SetFilePointerEx(d_handle, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(d_handle)) {
        return utl::systemErrorText(GetLastError());
    }
    return {};
}

void LogFile::close() {
    if (d_handle) {
        CloseHandle(d_handle);
        d_handle = nullptr;
    }
}

int64_t LogFile::size() const {
    LARGE_INTEGER size;
    return d_handle && GetFileSizeEx(d_handle, &size) ? size.QuadPart : -1;
}

std::string renameLogFile(const std::string& from, const std::string& to) {
    const std::wstring wideFrom = utl::widePath(from);
    const std::wstring wideTo = utl::widePath(to);
    if (wideFrom.empty() || wideTo.empty()) {
        return utl::systemErrorText(ERROR_INVALID_NAME);
    }
    if (!MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return utl::systemErrorText(GetLastError());
    }
    return {};
}

}  // namespace kutl

#endif
