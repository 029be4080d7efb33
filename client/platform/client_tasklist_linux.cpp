// Task list from /proc.
#ifndef _WIN32

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "client_tasklist.h"

namespace {

bool readTask(const std::string& pid, TaskInfo* task) {
    std::ifstream comm("/proc/" + pid + "/comm");
    if (!std::getline(comm, task->image_name)) {
        return false;
    }
    std::ifstream status("/proc/" + pid + "/status");
    std::string line;
    task->memory_kb = 0;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            task->memory_kb = std::strtoull(line.c_str() + 6, nullptr, 10);
            break;
        }
    }
    task->pid = static_cast<uint32_t>(std::strtoul(pid.c_str(), nullptr, 10));
    return true;
}

}  // namespace

std::vector<TaskInfo> loadTaskList() {
    std::vector<TaskInfo> tasks;
    DIR* dir = opendir("/proc");
    if (!dir) {
        return tasks;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        TaskInfo task;
        if (readTask(name, &task)) {
            tasks.push_back(std::move(task));
        }
    }
    closedir(dir);
    sortByMemory(&tasks);
    return tasks;
}

#endif
