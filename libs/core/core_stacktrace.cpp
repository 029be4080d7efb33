#include "core_stacktrace.h"

#ifdef _WIN32
#include <winsock2.h>  // before windows.h, as everywhere in the tree
#include <windows.h>
#else
#include <cxxabi.h>
#include <execinfo.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core_v2masterlogger.h"

namespace core {

namespace {

constexpr int k_MAX_FRAMES = 64;

std::atomic<bool> s_stop{true};

// Never destroyed: checks may still fail while the process exits.
std::mutex& exclusionMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::vector<std::pair<std::string, int>>& exclusions() {
    static auto* v = new std::vector<std::pair<std::string, int>>;
    return *v;
}

#ifdef _WIN32

// Return addresses only: names would need the debug help library.
std::string stackText(int skip) {
    void* frames[k_MAX_FRAMES];
    const int n = CaptureStackBackTrace(0, k_MAX_FRAMES, frames, nullptr);
    std::string out;
    for (int i = skip, shown = 0; i < n; ++i, ++shown) {
        if (!out.empty()) {
            out.push_back('\n');
        }
        out += strFormat("#%d %p", shown, frames[i]);
    }
    return out;
}

#else

// "binary(mangled+0x12) [0x...]" with the symbol demangled when possible.
std::string describeFrame(const char* raw) {
    std::string_view text(raw);
    const size_t open = text.find('(');
    const size_t plus = text.find('+', open == std::string_view::npos ? 0 : open);
    if (open == std::string_view::npos || plus == std::string_view::npos || plus == open + 1) {
        return std::string(text);
    }
    std::string mangled(text.substr(open + 1, plus - open - 1));
    int status = 0;
    char* name = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    if (status != 0 || !name) {
        std::free(name);
        return std::string(text);
    }
    std::string out(text.substr(0, open + 1));
    out += name;
    out += text.substr(plus);
    std::free(name);
    return out;
}

std::string stackText(int skip) {
    void* frames[k_MAX_FRAMES];
    const int n = backtrace(frames, k_MAX_FRAMES);
    char** symbols = backtrace_symbols(frames, n);
    std::string out;
    for (int i = skip, shown = 0; i < n; ++i, ++shown) {
        if (!out.empty()) {
            out.push_back('\n');
        }
        out += strFormat("#%d %s", shown, symbols ? describeFrame(symbols[i]) : std::string());
    }
    std::free(symbols);
    return out;
}

#endif

}  // namespace

std::string StackTrace::currentStack(int skip) {
    return stackText(skip + 2);
}

void StackTrace::recordFailure(std::string_view what, bool stopping) {
    const std::string stack = stackText(2);
    const int type = stopping ? LOG_CRIT : LOG_INFO;
    CORE_LOG(type, "core::StackTrace", "stack of thread %u:\n%s", MasterLogger::threadNumber(),
             stack);
    if (stopping) {
        std::string text = strFormat("%s\n%s\n", what, stack);
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
}

void StackTrace::abortWithStack(std::string_view tag, std::string_view reason) {
    LOG_CRIT(tag, "%s", reason);
    const std::string stack = stackText(2);
    LOG_CRIT("core::StackTrace", "stack of thread %u:\n%s", MasterLogger::threadNumber(), stack);
    std::string text = strFormat("%s - %s\n%s\n", tag, reason, stack);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    stopProcess();
}

void StackTrace::stopProcess() {
    MasterLogger::releaseImplForAbort();
    std::fflush(stdout);
    std::abort();
}

void StackTrace::setStopOnFailedCheck(bool stop) {
    s_stop.store(stop);
}

bool StackTrace::stopOnFailedCheck() {
    return s_stop.load();
}

void StackTrace::setExclusions(std::vector<std::pair<std::string, int>> list) {
    std::sort(list.begin(), list.end());
    std::lock_guard<std::mutex> lock(exclusionMutex());
    exclusions() = std::move(list);
}

bool StackTrace::isExcluded(std::string_view file, int line) {
    std::lock_guard<std::mutex> lock(exclusionMutex());
    const auto& list = exclusions();
    auto it = std::lower_bound(
        list.begin(), list.end(), std::make_pair(file, line),
        [](const std::pair<std::string, int>& a, const std::pair<std::string_view, int>& b) {
            return std::string_view(a.first) != b.first ? std::string_view(a.first) < b.first
                                                        : a.second < b.second;
        });
    return it != list.end() && it->first == file && it->second == line;
}

}  // namespace core
