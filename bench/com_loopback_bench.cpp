// Loopback throughput of one connection sending 64 KiB buffers: through the
// kernel loop and 'TcpConnection', against a plain blocking 'send' loop (the
// ceiling).  In both cases a second thread receives with blocking 'recv'.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "com_tcpconnection.h"
#include "core_smartsocket.h"
#include "kern_kernel.h"

namespace {

constexpr size_t k_BUFFER = 64 * 1024;
constexpr int k_BUFFERS_PER_ROUND = 256;  // 16 MiB per iteration
constexpr int64_t k_ROUND_BYTES = int64_t(k_BUFFER) * k_BUFFERS_PER_ROUND;

class Listener {
  public:
    Listener() {
        d_socket.create(SOCK_STREAM, core::SmartSocket::e_REUSE_ADDR);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(d_socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        ::getsockname(d_socket.get(), reinterpret_cast<sockaddr*>(&address), &size);
        d_port = ntohs(address.sin_port);
        ::listen(d_socket.get(), 4);
    }
    int port() const { return d_port; }
    SOCKET accept() { return ::accept(d_socket.get(), nullptr, nullptr); }

  private:
    core::SmartSocket d_socket;
    int d_port = 0;
};

// Receives everything on its own thread and counts it.
class Receiver {
  public:
    explicit Receiver(SOCKET s) : d_socket(s), d_thread([this] { run(); }) {}
    ~Receiver() {
        ::shutdown(d_socket, SHUT_RDWR);
        d_thread.join();
        ::close(d_socket);
    }
    void waitFor(int64_t total) {
        std::unique_lock<std::mutex> lock(d_mutex);
        d_changed.wait(lock, [&] { return d_received >= total || d_ended; });
    }

  private:
    void run() {
        std::vector<char> buffer(256 * 1024);
        while (true) {
            const ssize_t n = ::recv(d_socket, buffer.data(), buffer.size(), 0);
            std::lock_guard<std::mutex> lock(d_mutex);
            if (n <= 0) {
                d_ended = true;
                d_changed.notify_all();
                return;
            }
            d_received += n;
            d_changed.notify_all();
        }
    }

    SOCKET d_socket;
    std::mutex d_mutex;
    std::condition_variable d_changed;
    int64_t d_received = 0;
    bool d_ended = false;
    std::thread d_thread;
};

class Owner : public com::TcpConnectionOwner {
  public:
    explicit Owner(kern::Kernel* kernel) : d_kernel(kernel) {}
    void handleConnectionUp(com::TcpConnection*) override { d_kernel->stopKernel(); }
    void handleConnectionDown(com::TcpConnection*, const std::string&, int,
                              const std::string&) override {
        d_down = true;
        d_kernel->stopKernel();
    }
    void handleReceivedData(com::TcpConnection*, const core::GSharedBuf&) override {}
    void handleSendQueueEmpty(com::TcpConnection*) override { d_kernel->stopKernel(); }
    bool d_down = false;

  private:
    kern::Kernel* d_kernel;
};

void BM_LoopbackThroughKernelLoop(benchmark::State& state) {
    Listener listener;
    kern::StdKernel kernel(0, nullptr);
    kernel.setInstallSignalHandlers(false);
    Owner owner(&kernel);
    com::TcpConnection connection(&owner);
    connection.connectTo("127.0.0.1", listener.port());
    Receiver receiver(listener.accept());
    kernel.run();  // until up
    const core::GSharedBuf buffer = core::GSharedBuf::copyOf(std::string(k_BUFFER, 'x'));
    int64_t total = 0;
    for (auto _ : state) {
        for (int i = 0; i < k_BUFFERS_PER_ROUND; ++i) {
            connection.sendBuffer(buffer);
        }
        kernel.run();  // until the queue is empty
        total += k_ROUND_BYTES;
        receiver.waitFor(total);
        if (owner.d_down) {
            state.SkipWithError("connection lost");
            break;
        }
    }
    state.SetBytesProcessed(total);
    connection.close();
}
BENCHMARK(BM_LoopbackThroughKernelLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LoopbackBlockingSend(benchmark::State& state) {
    Listener listener;
    core::SmartSocket sender;
    sender.create(SOCK_STREAM, core::SmartSocket::e_NONE);
    sender.connectTo("127.0.0.1", listener.port());
    Receiver receiver(listener.accept());
    const std::string buffer(k_BUFFER, 'x');
    int64_t total = 0;
    for (auto _ : state) {
        for (int i = 0; i < k_BUFFERS_PER_ROUND; ++i) {
            size_t done = 0;
            while (done < buffer.size()) {
                const int n = core::sendSocket(sender.get(), buffer.data() + done,
                                               static_cast<int>(buffer.size() - done));
                if (n <= 0) {
                    state.SkipWithError("send failed");
                    return;
                }
                done += static_cast<size_t>(n);
            }
        }
        total += k_ROUND_BYTES;
        receiver.waitFor(total);
    }
    state.SetBytesProcessed(total);
}
BENCHMARK(BM_LoopbackBlockingSend)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
