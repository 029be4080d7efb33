// client_tasklist.h                                               -*-C++-*-
//
// The task list (image name, process id, memory use) read for the statistics
// report.  On Windows it holds this process alone, with its working set from
// GetProcessMemoryInfo: the system's task list command takes seconds on a
// domain-joined machine, on the loop thread, and a child process would
// inherit whatever handles it could.  On Linux it comes from /proc (image
// name from /proc/PID/comm, memory from VmRSS).
//
// Thread safety: reentrant.
#ifndef INCLUDED_CLIENT_TASKLIST
#define INCLUDED_CLIENT_TASKLIST

#include <cstdint>
#include <string>
#include <vector>

struct TaskInfo {
    std::string image_name;
    uint32_t pid = 0;
    uint64_t memory_kb = 0;
};

// Answers the running tasks (on Windows: this process) in ascending order of
// memory use.
std::vector<TaskInfo> loadTaskList();

// Orders 'tasks' by ascending memory use, keeping the order of equals.
void sortByMemory(std::vector<TaskInfo>* tasks);

// Answers the first task, in ascending order of memory use, whose image name
// contains 'part'; null when none does.
const TaskInfo* findTask(const std::vector<TaskInfo>& tasks, const std::string& part);

#endif
