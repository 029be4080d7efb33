// Task list from the system's task list command.
#ifdef _WIN32

#include <stdio.h>

#include <string>

#include "client_tasklist.h"

std::vector<TaskInfo> loadTaskList() {
    std::string text;
    FILE* pipe = _popen("tasklist.exe /V /FO CSV", "rb");
    if (!pipe) {
        return {};
    }
    char chunk[4096];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        text.append(chunk, n);
    }
    _pclose(pipe);
    std::vector<TaskInfo> tasks = parseTaskListCsv(text);
    sortByMemory(&tasks);
    return tasks;
}

#endif
