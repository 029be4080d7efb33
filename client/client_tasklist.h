// client_tasklist.h                                               -*-C++-*-
//
// The system task list (image name, process id, memory use) read for the
// statistics report.  On Windows it comes from the system's task list command;
// on Linux from /proc (image name from /proc/PID/comm, memory from VmRSS).
// The CSV parsing is shared so that it is tested on every platform.
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

// Answers the running tasks in ascending order of memory use.
std::vector<TaskInfo> loadTaskList();

// Parses the CSV output of the system's task list command (a header row,
// then "Image Name","PID","Session Name","Session#","Mem Usage",... with the
// memory as for example "12,345 K").  Rows that do not parse are skipped.
std::vector<TaskInfo> parseTaskListCsv(const std::string& text);

// Orders 'tasks' by ascending memory use, keeping the order of equals.
void sortByMemory(std::vector<TaskInfo>* tasks);

// Answers the first task, in ascending order of memory use, whose image name
// contains 'part'; null when none does.
const TaskInfo* findTask(const std::vector<TaskInfo>& tasks, const std::string& part);

#endif
