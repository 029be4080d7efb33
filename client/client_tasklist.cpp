#include "client_tasklist.h"

#include <algorithm>
#include <cctype>

const TaskInfo* findTask(const std::vector<TaskInfo>& tasks, const std::string& part) {
    for (const TaskInfo& task : tasks) {
        if (task.image_name.find(part) != std::string::npos) {
            return &task;
        }
    }
    return nullptr;
}

namespace {

// Splits one CSV row of quoted fields ("a","b,c",...); a doubled quote inside
// a field is one quote.
std::vector<std::string> splitCsvRow(const std::string& row) {
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < row.size(); ++i) {
        const char c = row[i];
        if (quoted) {
            if (c == '"' && i + 1 < row.size() && row[i + 1] == '"') {
                field.push_back('"');
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field.push_back(c);
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(std::move(field));
            field.clear();
        } else if (c != '\r') {
            field.push_back(c);
        }
    }
    fields.push_back(std::move(field));
    return fields;
}

// The digits of 'text' as a number ("12,345 K" or "12.345 K" give 12345);
// false when there are none.
bool digitsOf(const std::string& text, uint64_t* value) {
    bool any = false;
    uint64_t v = 0;
    for (unsigned char c : text) {
        if (std::isdigit(c)) {
            any = true;
            if (v < UINT64_MAX / 10) {
                v = v * 10 + (c - '0');
            }
        }
    }
    *value = v;
    return any;
}

}  // namespace

std::vector<TaskInfo> parseTaskListCsv(const std::string& text) {
    std::vector<TaskInfo> tasks;
    size_t start = 0;
    bool header = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string row = text.substr(start, end - start);
        start = end + 1;
        if (row.find_first_not_of(" \r") == std::string::npos) {
            continue;
        }
        if (header) {
            header = false;
            continue;
        }
        const std::vector<std::string> fields = splitCsvRow(row);
        uint64_t pid = 0;
        uint64_t memory = 0;
        if (fields.size() < 5 || fields[0].empty() || !digitsOf(fields[1], &pid) ||
            pid > UINT32_MAX || !digitsOf(fields[4], &memory)) {
            continue;
        }
        tasks.push_back(TaskInfo{fields[0], static_cast<uint32_t>(pid), memory});
    }
    return tasks;
}

void sortByMemory(std::vector<TaskInfo>* tasks) {
    std::stable_sort(tasks->begin(), tasks->end(), [](const TaskInfo& a, const TaskInfo& b) {
        return a.memory_kb < b.memory_kb;
    });
}
