#include "platform/core_platform.h"

#include <cstdlib>

#if !defined(_WIN32) || defined(__GNUC__)
#include <cxxabi.h>
#endif
#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#endif

namespace core {

#ifdef _WIN32

int64_t tickCountMs() {
    return static_cast<int64_t>(GetTickCount64());
}

int processId() {
    return _getpid();
}

void blockConsoleSignalsOnThisThread() {}

#ifndef __GNUC__
std::string readableTypeName(const std::type_info& type) {
    std::string name = type.name();
    for (const char* prefix : {"class ", "struct "}) {
        if (name.rfind(prefix, 0) == 0) {
            name.erase(0, std::char_traits<char>::length(prefix));
        }
    }
    return name;
}
#endif

#else

int64_t tickCountMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int processId() {
    return static_cast<int>(::getpid());
}

void blockConsoleSignalsOnThisThread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, k_BREAK_SIGNAL);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

#endif

// GCC spells run-time type names in its mangled form on every platform.
#if !defined(_WIN32) || defined(__GNUC__)
std::string readableTypeName(const std::type_info& type) {
    int status = 0;
    char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    if (status != 0 || !name) {
        std::free(name);
        return type.name();
    }
    std::string out(name);
    std::free(name);
    return out;
}
#endif

}  // namespace core
