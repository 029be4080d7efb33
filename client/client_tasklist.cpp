#include "client_tasklist.h"

#include <algorithm>

const TaskInfo* findTask(const std::vector<TaskInfo>& tasks, const std::string& part) {
    for (const TaskInfo& task : tasks) {
        if (task.image_name.find(part) != std::string::npos) {
            return &task;
        }
    }
    return nullptr;
}

void sortByMemory(std::vector<TaskInfo>* tasks) {
    std::stable_sort(tasks->begin(), tasks->end(), [](const TaskInfo& a, const TaskInfo& b) {
        return a.memory_kb < b.memory_kb;
    });
}
