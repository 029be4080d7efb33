#include "client_tasklist.h"

#include <gtest/gtest.h>

namespace {

TEST(TaskList, CsvRowsWithSeparatorsInsideQuotedMemory) {
    const std::string text =
        "\"Image Name\",\"PID\",\"Session Name\",\"Session#\",\"Mem Usage\",\"Status\"\r\n"
        "\"System Idle Process\",\"0\",\"Services\",\"0\",\"8 K\",\"Unknown\"\r\n"
        "\"TessarinLumivar.exe\",\"4711\",\"Services\",\"0\",\"12,345 K\",\"Running\"\r\n"
        "\"odd \"\"name\"\".exe\",\"12\",\"Console\",\"1\",\"1.024 K\",\"Running\"\r\n"
        "garbage without fields\r\n"
        "\"NoPid.exe\",\"\",\"Console\",\"1\",\"5 K\"\r\n";
    std::vector<TaskInfo> tasks = parseTaskListCsv(text);
    ASSERT_EQ(tasks.size(), 3u);
    EXPECT_EQ(tasks[1].image_name, "TessarinLumivar.exe");
    EXPECT_EQ(tasks[1].pid, 4711u);
    EXPECT_EQ(tasks[1].memory_kb, 12345u);
    EXPECT_EQ(tasks[2].image_name, "odd \"name\".exe");
    EXPECT_EQ(tasks[2].memory_kb, 1024u);

    sortByMemory(&tasks);
    EXPECT_EQ(tasks[0].memory_kb, 8u);
    // The smallest task whose name contains the part is reported.
    tasks.push_back(TaskInfo{"TessarinLumivarConfiguration.exe", 9, 20000});
    sortByMemory(&tasks);
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
    EXPECT_NE(findTask(tasks, "lv_client_test"), nullptr);
}

}  // namespace
