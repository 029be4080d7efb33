// This process's memory, from the process itself.
#ifdef _WIN32

#include <psapi.h>
#include <windows.h>

#include <string>

#include "client_tasklist.h"
#include "wmi_com.h"

std::vector<TaskInfo> loadTaskList() {
    TaskInfo self;
    self.pid = GetCurrentProcessId();
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        self.memory_kb = counters.WorkingSetSize / 1024;
    }
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length < MAX_PATH ? length : 0);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        name.erase(0, slash + 1);
    }
    self.image_name = wmi::fromOleStr(name.c_str());
    return {self};
}

#endif
