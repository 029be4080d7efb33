// One pass of the kernel loop with 1000 registered idle sockets and one ready
// one: 'select' over poll, the copy of the sets and the dispatch.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "kern_kernel.h"

namespace {

class Idle : public kern::DescriptorInterface {
  public:
    void handleDescriptor(SOCKET, int) override {}
};

class Ready : public kern::DescriptorInterface {
  public:
    Ready(benchmark::State* state, kern::Kernel* kernel) : d_state(state), d_kernel(kernel) {}
    void handleDescriptor(SOCKET, int) override {
        if (!d_state->KeepRunning()) {
            d_kernel->stopKernel();
        }
    }

  private:
    benchmark::State* d_state;
    kern::Kernel* d_kernel;
};

void BM_LoopPassIdleSockets(benchmark::State& state) {
    const int idle = static_cast<int>(state.range(0));
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < static_cast<rlim_t>(2 * idle + 64)) {
        state.SkipWithError("descriptor limit too low");
        return;
    }
    kern::StdKernel kernel(0, nullptr);
    kernel.setInstallSignalHandlers(false);
    std::vector<int> fds;
    std::vector<std::unique_ptr<Idle>> idlers;
    for (int i = 0; i < idle; ++i) {
        int pair[2];
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        fds.push_back(pair[0]);
        fds.push_back(pair[1]);
        idlers.push_back(std::make_unique<Idle>());
        idlers.back()->addReadDescriptor(pair[0]);
    }
    int ready[2];
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, ready);
    ::write(ready[1], "x", 1);  // never read: ready on every pass
    Ready reader(&state, &kernel);
    reader.addReadDescriptor(ready[0]);
    kernel.run();
    reader.removeReadDescriptor(ready[0]);
    idlers.clear();
    for (int fd : fds) {
        ::close(fd);
    }
    ::close(ready[0]);
    ::close(ready[1]);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoopPassIdleSockets)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
