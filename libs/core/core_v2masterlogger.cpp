// Provisional logger: to be replaced by the complete implementation.
#include "core_v2masterlogger.h"

#include <cstdio>
#include <mutex>

namespace core {

unsigned char g_log_mask[k_MAX_LOG_TYPES / 8] = {2 | 4 | 8};

LogImpl::~LogImpl() = default;
LogRImpl::~LogRImpl() = default;

namespace {
std::mutex s_mutex;
std::unique_ptr<LogImpl>& impl() {
    static std::unique_ptr<LogImpl> s(new DefaultLogImpl);
    return s;
}
const char* const s_names[] = {"LOG2STRING", "CRIT", "WARN", "INFO", "NORM"};
}  // namespace

void MasterLogger::log(int type, std::string_view tag, std::string_view message) {
    if (tag.substr(0, 3) == "NS_") {
        tag.remove_prefix(3);
    }
    std::string line(tag);
    if (!message.empty()) {
        if (message[0] != '(' && message[0] != ':' && message[0] != '-') {
            line += " - ";
        }
        line += message;
    }
    deliver(type, line);
}

void MasterLogger::deliver(int type, std::string_view line) {
    if (type == LOG_CRIT) {
        std::printf("[CRIT] %.*s\n", static_cast<int>(line.size()), line.data());
    }
    if (type >= 1 && type <= 3) {
        std::lock_guard<std::mutex> lock(s_mutex);
        impl()->log(type, 0, s_names[type], 1 << (type - 1), line);
    }
}

void MasterLogger::logRate(int, int type, std::string_view message) { log(type, "", message); }

void MasterLogger::logAt(int type, std::string_view file, int line, std::string_view function,
                         std::string_view message) {
    std::string text = strFormat("Log at %s:%d", file, line);
    if (!function.empty()) {
        strAppendFormat(text, " (%s)", function);
    }
    if (!message.empty()) {
        strAppendFormat(text, " - %s", message);
    }
    deliver(type, text);
}

unsigned MasterLogger::threadNumber() { return 0; }
int MasterLogger::registerType(const char*, const char*) { return 0; }
int MasterLogger::findType(std::string_view) { return 0; }
const char* MasterLogger::typeName(int type) { return type >= 0 && type < 5 ? s_names[type] : nullptr; }
int MasterLogger::numTypes() { return 5; }
int MasterLogger::code(int) { return 0; }
void MasterLogger::setCode(int, int) {}
void MasterLogger::enable(int, int) {}
void MasterLogger::disable(int) {}
void MasterLogger::setConsoleEcho(int, bool) {}
bool MasterLogger::consoleEcho(int type) { return type == LOG_CRIT; }
void MasterLogger::setHistory(int, bool) {}
void MasterLogger::setImpl(std::unique_ptr<LogImpl> i) {
    std::lock_guard<std::mutex> lock(s_mutex);
    impl() = i ? std::move(i) : std::make_unique<DefaultLogImpl>();
}
void MasterLogger::setRImpl(std::unique_ptr<LogRImpl>) {}
void MasterLogger::setConsoleHook(std::function<void(std::string_view)>) {}
void MasterLogger::addObserver(GlobalLogObserver*) {}
void MasterLogger::removeObserver(GlobalLogObserver*) {}
void MasterLogger::setHistoryCapacity(size_t) {}
std::vector<LogHistoryEntry> MasterLogger::history() { return {}; }

Globals::Globals(std::unique_ptr<LogImpl> i) { MasterLogger::setImpl(std::move(i)); }
Globals::~Globals() { MasterLogger::setImpl(nullptr); }

}  // namespace core
