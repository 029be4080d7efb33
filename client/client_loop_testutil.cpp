#include "client_loop_testutil.h"

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "kern_timerqueue.h"
#include "kern_timers.h"
#include "platform/core_platform.h"

namespace testutil {

namespace {

std::atomic<int64_t> s_skipped{0};

int64_t skewedClock() {
    return core::tickCountMs() + s_skipped.load();
}

}  // namespace

std::string noise(size_t size, uint32_t seed) {
    std::string out(size, 'a');
    for (char& ch : out) {
        seed = seed * 1103515245u + 12345u;
        ch = static_cast<char>('a' + (seed >> 16) % 26);
    }
    return out;
}

void ClientHarness::skip(int64_t ms) {
    s_skipped += ms;
}

ClientHarness::ClientHarness() {
    kern::TimerPriorityQueue::setClock(&skewedClock);
    ::setenv("PROGRAMDATA", d_dir.path().c_str(), 1);
    ::setenv("LUMIVAR_WMI_EVENT_RATE", "0", 1);
    writeSettings(d_dir.path(), "127.0.0.1", d_nvr.port());
    static char arg0[] = "lv_client_test";
    static char* argv[] = {arg0, nullptr};
    d_kernel = std::make_unique<kern::StdKernel>(1, argv);
    d_kernel->setInstallSignalHandlers(false);
    d_client = std::make_unique<Client>(&d_stop_mutex, &d_stop_requested);
}

ClientHarness::~ClientHarness() {
    d_client.reset();
    d_kernel.reset();
    kern::TimerPriorityQueue::setClock(nullptr);
}

bool ClientHarness::runUntil(const std::function<bool()>& condition, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool held = false;
    kern::RepeatTimer check("ClientHarness::runUntil", [&] {
        held = condition();
        if (held || std::chrono::steady_clock::now() >= deadline) {
            d_kernel->stopKernel();
            return false;
        }
        return true;
    });
    check.start(5);
    d_kernel->run();
    return held;
}

bool ClientHarness::runUntilStopped(Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timedOut = false;
    kern::RepeatTimer check("ClientHarness::runUntilStopped", [&] {
        if (std::chrono::steady_clock::now() >= deadline) {
            timedOut = true;
            d_kernel->stopKernel();
            return false;
        }
        return true;
    });
    check.start(5);
    d_kernel->run();
    return !timedOut;
}

bool ClientHarness::startAndConnect() {
    return d_client->start() && runUntilConnected(d_nvr);
}

bool ClientHarness::runUntilConnected(FakeNvr& nvr) {
    return runUntil(
        [&] { return (nvr.connected() || nvr.accept(Millis(0))) && d_client->linkUp(); },
        Millis(10000));
}

bool ClientHarness::receive(Message* message, Millis timeout) {
    return runUntil([&] { return d_nvr.receive(message, Millis(0)); }, timeout);
}

bool ClientHarness::connectNamespace(const std::string& path) {
    d_nvr.send(namespaceRequest(path));
    return runUntil([&] { return d_client->namespacePath() == path; }, Millis(5000));
}

void ClientHarness::requestStop() {
    std::lock_guard<std::mutex> lock(d_stop_mutex);
    d_stop_requested = 1;
}

}  // namespace testutil
