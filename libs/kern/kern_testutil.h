// kern_testutil.h                                                 -*-C++-*-
//
// Test helpers of the kernel family (header only, for test binaries): a
// timer clock the test advances, a timer owner that records its firings, and
// a connected pair of local stream sockets.
#ifndef INCLUDED_KERN_TESTUTIL
#define INCLUDED_KERN_TESTUTIL

#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core_v2masterlogger.h"

#include "kern_descriptors.h"
#include "kern_timerqueue.h"
#include "kern_timers.h"

namespace kern {

// While alive, the timer queue's clock reads 'now()' (starting at 1000 s),
// moved only by 'advance'.
class FakeClock {
  public:
    FakeClock() {
        value().store(1000000);
        TimerPriorityQueue::setClock(&read);
    }
    ~FakeClock() { TimerPriorityQueue::setClock(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    static void advance(int64_t ms) { value() += ms; }
    static int64_t now() { return value().load(); }

  private:
    static std::atomic<int64_t>& value() {
        static std::atomic<int64_t> v{1000000};
        return v;
    }
    static int64_t read() { return value().load(); }
};

// Records every firing; answers true for its own 'd_a'/'d_b' (or for every id
// when 'd_accept_all').  'd_on_fire' runs inside the callback.
class RecordingOwner : public TimerInterface {
  public:
    bool handleTimeout(int64_t id) override {
        d_fired.push_back(id);
        const bool mine = d_accept_all || d_a == id || d_b == id;
        if (d_on_fire) {
            d_on_fire(id);
        }
        return mine;
    }
    int count(int64_t id) const {
        int n = 0;
        for (int64_t f : d_fired) {
            n += f == id;
        }
        return n;
    }

    TimerId d_a;
    TimerId d_b;
    bool d_accept_all = false;
    std::vector<int64_t> d_fired;
    std::function<void(int64_t)> d_on_fire;
};

// Records (fd, type) of every callback, and the order of callbacks over all
// watchers; 'd_on_call' runs inside the callback.
class Watcher : public DescriptorInterface {
  public:
    void handleDescriptor(SOCKET fd, int type) override {
        d_calls.emplace_back(fd, type);
        order().push_back(this);
        if (d_on_call) {
            d_on_call(fd, type);
        }
    }
    static std::vector<Watcher*>& order() {
        static std::vector<Watcher*> s_order;
        return s_order;
    }
    std::vector<std::pair<SOCKET, int>> d_calls;
    std::function<void(SOCKET, int)> d_on_call;
};

// While alive, every delivered log line is also written to standard error,
// where death tests look for it.
class StderrLog {
  public:
    StderrLog() { core::MasterLogger::setImpl(std::make_unique<Impl>()); }
    ~StderrLog() { core::MasterLogger::setImpl(nullptr); }
    StderrLog(const StderrLog&) = delete;
    StderrLog& operator=(const StderrLog&) = delete;

  private:
    struct Impl : core::LogImpl {
        void log(int, unsigned, const char*, int, std::string_view text) override {
            std::string line(text);
            line += '\n';
            std::fputs(line.c_str(), stderr);
        }
    };
};

#ifndef _WIN32
// Two connected stream sockets, closed on destruction.
struct SocketPair {
    int d_fd[2] = {-1, -1};
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, d_fd); }
    ~SocketPair() {
        for (int fd : d_fd) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    // Moves end 'i' to descriptor number 'target' (for values above 1024).
    void moveTo(int i, int target) {
        ::dup2(d_fd[i], target);
        ::close(d_fd[i]);
        d_fd[i] = target;
    }
};
#endif

}  // namespace kern

#endif
