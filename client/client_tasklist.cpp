#include "client_tasklist.h"

const TaskInfo* findTask(const std::vector<TaskInfo>& tasks, const std::string& part) {
    for (const TaskInfo& task : tasks) {
        if (task.image_name.find(part) != std::string::npos) {
            return &task;
        }
    }
    return nullptr;
}
