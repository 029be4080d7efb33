#include "client_tasklist.h"

#include <gtest/gtest.h>

namespace {

TEST(TaskList, TheSmallestTaskWhoseNameContainsThePartIsFound) {
    std::vector<TaskInfo> tasks{{"TessarinLumivarConfiguration.exe", 9, 20000},
                                {"System Idle Process", 0, 8},
                                {"TessarinLumivar.exe", 4711, 12345}};
    sortByMemory(&tasks);
    EXPECT_EQ(tasks[0].memory_kb, 8u);
    const TaskInfo* found = findTask(tasks, "TessarinLumivar");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->pid, 4711u);
    EXPECT_EQ(findTask(tasks, "absent"), nullptr);
}

TEST(TaskList, ThisProcessIsListed) {
    std::vector<TaskInfo> tasks = loadTaskList();
    ASSERT_FALSE(tasks.empty());
    for (size_t i = 1; i < tasks.size(); ++i) {
        EXPECT_LE(tasks[i - 1].memory_kb, tasks[i].memory_kb);
    }
    const TaskInfo* self = findTask(tasks, "lv_client_test");
    ASSERT_NE(self, nullptr);
    EXPECT_GT(self->memory_kb, 0u);
}

}  // namespace
