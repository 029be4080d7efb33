// Windows form of the file state: the file system's own times (UTC, 100 ns)
// and file ID, through a handle that asks for no data access, so it never
// stands in the way of an editor or of a replacement.
#ifdef _WIN32

#include <windows.h>

#include "kutl_filestate.h"
#include "utl_widepath.h"

namespace kutl {

namespace {

int64_t nanoseconds(const LARGE_INTEGER& fileTime) {
    return fileTime.QuadPart * 100;
}

// The file ID within its volume, with the volume's serial number.  (The
// 128-bit IDs of ReFS need Windows 8; NTFS's fit in 64 bits.)
uint64_t fileIdOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) {
        return 0;
    }
    return (static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow) ^
           (static_cast<uint64_t>(info.dwVolumeSerialNumber) << 1);
}

}  // namespace

FileState fileStateOf(const std::string& path) {
    FileState state;
    const std::wstring wide = utl::widePath(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (wide.empty() || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = wide.empty() ? ERROR_INVALID_NAME : GetLastError();
        state.time = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
        return state;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return state;
    }
    LARGE_INTEGER written;
    written.LowPart = data.ftLastWriteTime.dwLowDateTime;
    written.HighPart = static_cast<LONG>(data.ftLastWriteTime.dwHighDateTime);
    const int64_t ns = nanoseconds(written);
    state.time = ns == 0 || ns == -1 ? 1 : ns;
    state.size = static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    const HANDLE file = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        state.id = fileIdOf(file);
        FILE_BASIC_INFO basic;
        if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
            state.change_ns = nanoseconds(basic.ChangeTime);
        }
        CloseHandle(file);
    }
    return state;
}

}  // namespace kutl

#endif
