#include "kern_kernel.h"

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core_assert.h"
#include "core_check.h"
#include "core_v2masterlogger.h"
#include "kern_threadcontext.h"
#include "kern_timecache.h"
#include "platform/core_platform.h"

namespace kern {

namespace {

std::atomic<Kernel*> s_first_kernel{nullptr};
std::atomic<int> s_kernel_count{0};
std::atomic<bool> s_handlers_installed{false};
// What the installation replaced; restored by whichever kernel is last.
Kernel::SignalHandler s_saved_handlers[3] = {nullptr, nullptr, nullptr};

std::atomic<int> s_watchdog_period_ms{KernelWatchdog::k_PERIOD_MS};
std::atomic<int> s_watchdog_timeout_ms{KernelWatchdog::k_TIMEOUT_MS};

std::mutex& localeMutex() {
    static std::mutex m;
    return m;
}

constexpr int k_STOP_SIGNALS[3] = {SIGINT, SIGTERM, core::k_BREAK_SIGNAL};
const char* const k_SIGNAL_NAMES[3] = {"SIGINT", "SIGTERM", "SIGBREAK"};

std::string signalList(uint32_t low, uint32_t high) {
    std::string out;
    for (int n = 0; n < 64; ++n) {
        const uint32_t word = n < 32 ? low : high;
        if (word & (1u << (n % 32))) {
            if (!out.empty()) {
                out += ',';
            }
            out += std::to_string(n);
        }
    }
    return out;
}

}  // namespace

// ShutdownHandler

ShutdownHandler::~ShutdownHandler() {
    if (!d_is_attached) {
        return;
    }
    if (CHECKF(d_kernel && d_kernel->shutdownHandler() == this,
               "shutdown handler %p is not the registered one", this)) {
        d_kernel->setShutdownHandler(nullptr);
    }
}

// DeleteLater

DeleteLater::DeleteLater() : d_timer("kern::DeleteLater", [this] { runPending(); }) {}

DeleteLater::~DeleteLater() {
    runPending();
}

void DeleteLater::add(std::function<void()> action) {
    d_actions.push_back(std::move(action));
    if (!d_timer.isActive() && TimerManager::timerManager()) {
        d_timer.start(0);
    }
}

void DeleteLater::runPending() {
    std::vector<std::function<void()>> actions;
    actions.swap(d_actions);
    for (std::function<void()>& action : actions) {
        if (action) {
            action();
        }
    }
}

// Kernel

Kernel* Kernel::current() {
    return KernelThreadContext::current().d_kernel;
}

int Kernel::kernelCount() {
    return s_kernel_count.load();
}

void Kernel::setWatchdogPeriods(int periodMs, int timeoutMs) {
    s_watchdog_period_ms.store(periodMs);
    s_watchdog_timeout_ms.store(timeoutMs);
}

Kernel::Kernel(int argc, char** argv) : d_argc(argc), d_argv(argv) {
    Kernel* none = nullptr;
    s_first_kernel.compare_exchange_strong(none, this);
    ++s_kernel_count;
    {
        std::lock_guard<std::mutex> lock(localeMutex());
        std::setlocale(LC_ALL, "C");
        std::setlocale(LC_TIME, "");
    }
    parseArguments(argc, argv);
    KernelThreadContext& context = KernelThreadContext::current();
    if (context.d_kernel) {
        LOG_CRIT("kern::Kernel::Kernel", "singleton already set");
    }
    d_delete_later = std::make_unique<DeleteLater>();
    context.d_kernel = this;
}

Kernel::~Kernel() {
    Kernel* self = this;
    s_first_kernel.compare_exchange_strong(self, nullptr);
    KernelThreadContext& context = KernelThreadContext::current();
    context.d_kernel = nullptr;

    d_delete_later.reset();

    // The managers unregister themselves as they go.  Whatever uses timers
    // goes before the timer manager; the watchdog's timer goes with the
    // queue it was armed in.
    d_video_clocks.reset();
    d_descriptors.reset();
    d_clock_ticks.reset();
    d_watchdog.reset();
    d_timers.reset();

    --s_kernel_count;
    if (s_handlers_installed.load()) {
        restoreSignalHandlers();
    }
}

void Kernel::parseArguments(int argc, char** argv) {
    const char* const tag = "kern::Kernel::parseArguments";
    for (int i = 0; i < argc; ++i) {
        if (!argv[i]) {
            continue;
        }
        const std::string_view arg(argv[i]);
        if (arg == "debug") {
            for (int type : {core::LOG_NORM, core::LOG_INFO, core::LOG_WARN, core::LOG_CRIT}) {
                core::MasterLogger::setConsoleEcho(type, true);
            }
            continue;
        }
        if (arg == "no_crash_on_gassert") {
            LOG_CRIT(tag, "no_crash_on_gassert");
            core::Assert::setStopOnFailedCheck(false);
            continue;
        }
        const bool takesType =
            arg == "d" || arg == "d+" || arg == "d-" || arg == "di" || arg == "dw" || arg == "dc";
        if (!takesType || i + 1 >= argc || !argv[i + 1]) {
            continue;
        }
        const char* name = argv[++i];
        const int type = core::MasterLogger::findType(name);
        if (type == 0) {
            LOG_WARN(tag, "no log type '%s'", name);
            continue;
        }
        if (arg == "d" || arg == "d+") {
            // Lines of an enabled type go to the output like INFO's.
            core::MasterLogger::enable(type, 4);
        } else if (arg == "d-") {
            core::MasterLogger::disable(type);
        } else {
            const int bit = arg == "di" ? 4 : arg == "dw" ? 2 : 1;
            core::MasterLogger::setCode(type, core::MasterLogger::code(type) | bit);
        }
    }
}

bool Kernel::run() {
    if (!CHECKF(!d_running, "is already running")) {
        return false;
    }
    d_running = true;
    if (core::MasterLogger::threadNumber() == 0) {
        d_watchdog.reset();
        d_watchdog = std::make_unique<KernelWatchdog>(s_watchdog_period_ms.load(),
                                                      s_watchdog_timeout_ms.load());
        d_watchdog->start();
    }
    runLoop();
    d_watchdog.reset();
    d_running = false;
    return true;
}

void Kernel::stopKernel() {
    if (!d_running) {
        return;
    }
    if (ShutdownHandler* handler = d_shutdown_handler) {
        CHECKF_AS(handler->d_is_attached, "d_is_attached");
        if (!handler->allowShutdown()) {
            LOG_INFO("kern::Kernel::stopKernel", "(false) - shutdown handler has denied shutdown");
            return;
        }
        handler->d_is_attached = false;
        handler->d_kernel = nullptr;
        d_shutdown_handler = nullptr;
    }
    requestStop();
    d_running = false;
}

void Kernel::setShutdownHandler(ShutdownHandler* handler) {
    if (d_shutdown_handler && d_shutdown_handler != handler) {
        d_shutdown_handler->d_is_attached = false;
        d_shutdown_handler->d_kernel = nullptr;
    }
    d_shutdown_handler = handler;
    if (handler) {
        handler->d_is_attached = true;
        handler->d_kernel = this;
    }
}

void Kernel::deleteLater(std::function<void()> action) {
    d_delete_later->add(std::move(action));
}

void Kernel::noteSignal(int signal) {
    if (signal < 0 || signal >= 64) {
        return;
    }
    d_signal_mask[signal / 32].fetch_or(1u << (signal % 32));
    d_signal_pending.store(true);
}

void Kernel::signalHandler(int signal) {
    Kernel* kernel = KernelThreadContext::current().d_kernel;
    Kernel* first = s_first_kernel.load();
    if (!kernel && !first) {
        std::_Exit(0);
    }
    if (kernel) {
        kernel->noteSignal(signal);
    }
    if (first && first != kernel) {
        first->noteSignal(signal);
    }
}

void Kernel::adoptManagers(std::unique_ptr<TimerManager> timers,
                           std::unique_ptr<ClockTickManager> clockTicks,
                           std::unique_ptr<DescriptorManager> descriptors,
                           std::unique_ptr<VideoClockManager> videoClocks) {
    d_timers = std::move(timers);
    d_clock_ticks = std::move(clockTicks);
    d_descriptors = std::move(descriptors);
    d_video_clocks = std::move(videoClocks);
}

bool Kernel::takePendingSignals(uint32_t* maskLow, uint32_t* maskHigh) {
    if (!d_signal_pending.exchange(false)) {
        return false;
    }
    *maskLow = d_signal_mask[0].exchange(0);
    *maskHigh = d_signal_mask[1].exchange(0);
    return true;
}

void Kernel::handleArrivedSignals(uint32_t maskLow, uint32_t maskHigh) {
    uint32_t stopBits = 0;
    for (int signal : k_STOP_SIGNALS) {
        stopBits |= 1u << signal;
    }
    if (maskLow & stopBits) {
        LOG_CRIT("kern::Kernel::handleArrivedSignals", "setStillRunning(false) - (%s;%d)",
                 signalList(maskLow, maskHigh), core::processId());
        stopKernel();
        return;
    }
    LOG_INFO("kern::Kernel::handleArrivedSignals", "unhandled signals %s",
             signalList(maskLow, maskHigh));
}

bool Kernel::installSignalHandlers() {
    const char* const tag = "kern::Kernel::installSignalHandlers";
    if (s_handlers_installed.load()) {
        LOG_CRIT(tag, "already installed");
        return false;
    }
    SignalHandler* saved[3] = {&d_saved_sigint, &d_saved_sigterm, &d_saved_sigbreak};
    for (int i = 0; i < 3; ++i) {
        const SignalHandler previous = std::signal(k_STOP_SIGNALS[i], &Kernel::signalHandler);
        if (previous == SIG_ERR) {
            LOG_WARN(tag, "cannot catch %s", k_SIGNAL_NAMES[i]);
            *saved[i] = SIG_DFL;
        } else {
            *saved[i] = previous;
        }
        s_saved_handlers[i] = *saved[i];
    }
    s_handlers_installed.store(true);
    return true;
}

bool Kernel::restoreSignalHandlers() {
    const char* const tag = "kern::Kernel::restoreSignalHandlers";
    const int count = s_kernel_count.load();
    if (count >= 1) {
        LOG_NORM(tag, "Not restoring signal handlers, active kernels remain");
        return false;
    }
    CHECKF_AS(count == 0, "s_kernel_count == 0");
    if (!s_handlers_installed.load()) {
        LOG_CRIT(tag, "not installed");
        return false;
    }
    LOG_NORM(tag, "Restoring signal handlers");
    for (int i = 0; i < 3; ++i) {
        if (std::signal(k_STOP_SIGNALS[i], s_saved_handlers[i]) == SIG_ERR) {
            LOG_WARN(tag, "cannot restore %s", k_SIGNAL_NAMES[i]);
        }
    }
    s_handlers_installed.store(false);
    return true;
}

// StdKernel::DummyFd

StdKernel::DummyFd::DummyFd(Kernel* kernel)
    : d_kernel(kernel), d_socket(core::openSocket(SOCK_DGRAM)) {
    if (d_socket == INVALID_SOCKET) {
        return;
    }
    // Connected to its own address, it takes datagrams from itself only.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    unsigned long nonBlocking = 1;
    if (::bind(d_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(d_socket, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ::connect(d_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ioctlsocket(d_socket, FIONBIO, &nonBlocking) != 0) {
        LOG_WARN("kern::StdKernel::DummyFd", "no wake socket: %d", WSAGetLastError());
    }
}

StdKernel::DummyFd::~DummyFd() {
    if (d_socket != INVALID_SOCKET) {
        if (DescriptorManager::descriptorManager()) {
            removeReadDescriptor(d_socket);
        }
        closesocket(d_socket);
    }
}

void StdKernel::DummyFd::post() {
    // A full socket buffer already holds a wake: losing this one is harmless.
    static const char k_WAKE = 1;
    core::sendSocket(d_socket, &k_WAKE, 1);
}

void StdKernel::DummyFd::handleDescriptor(SOCKET, int) {
    char drain[64];
    while (core::recvSocket(d_socket, drain, sizeof drain) > 0) {
    }
    d_kernel->runWakeHandler();
}

// StdKernel

struct StdKernel::SelectSets {
    core::SocketSet d_read;
    core::SocketSet d_write;
    core::SocketSet d_exception;
};

StdKernel::StdKernel(int argc, char** argv) : Kernel(argc, argv), d_sets(new SelectSets) {
    auto timerQueue = std::make_unique<TimerPriorityQueue>();
    auto clockTicks = std::make_unique<ClockTickManager>();
    auto descriptors = std::make_unique<StdDescriptorManager>();
    auto videoClocks = std::make_unique<StdVideoClockManager>();
    d_timer_queue = timerQueue.get();
    d_descriptor_manager = descriptors.get();
    adoptManagers(std::move(timerQueue), std::move(clockTicks), std::move(descriptors),
                  std::move(videoClocks));
    d_dummy_fd = std::make_unique<DummyFd>(this);
    if (d_dummy_fd->socket() != INVALID_SOCKET) {
        d_dummy_fd->addReadDescriptor(d_dummy_fd->socket());
    }
}

StdKernel::~StdKernel() {
    d_dummy_fd.reset();
    d_descriptor_manager = nullptr;
    d_timer_queue = nullptr;
}

void StdKernel::wake() {
    d_dummy_fd->post();
}

timeval StdKernel::selectTimeout(bool zeroTimersPending, bool heapEmpty, TimerTime now,
                                 TimerTime earliest) {
    timeval out{0, 0};
    if (zeroTimersPending) {
        return out;
    }
    if (heapEmpty) {
        out.tv_sec = 1;
        return out;
    }
    if (!(now < earliest)) {
        return out;
    }
    int64_t sec = int64_t(earliest.d_sec) - now.d_sec;
    int64_t nsec = int64_t(earliest.d_nsec) - now.d_nsec;
    if (nsec < 0) {
        nsec += 1000000000;
        --sec;
    }
    int64_t usec = nsec / 1000;
    if (sec == 0 && usec < 1000) {
        usec = 1000;
    }
    if (sec > 1) {
        sec = 1;
    }
    out.tv_sec = static_cast<decltype(out.tv_sec)>(sec);
    out.tv_usec = static_cast<decltype(out.tv_usec)>(usec);
    return out;
}

void StdKernel::runLoop() {
    d_stop = false;
    if (d_install_signal_handlers) {
        installSignalHandlers();
    }
    TimeCache::setReuseLimit(1000000);
    TimeCache::markStale();
    uint32_t pass = 0;
    SelectSets& sets = *d_sets;
    while (true) {
        uint32_t low = 0;
        uint32_t high = 0;
        if (takePendingSignals(&low, &high)) {
            handleArrivedSignals(low, high);
        }
        if (d_stop) {
            break;
        }
        TimerPriorityQueue& queue = *d_timer_queue;
        const bool heapEmpty = queue.heapEmpty();
        const timeval timeout =
            selectTimeout(!queue.zeroListEmpty(), heapEmpty, TimerPriorityQueue::now(),
                          heapEmpty ? TimerTime() : queue.earliestExpiry());
        core::socketSetCopy(d_descriptor_manager->readSet().fdset(), &sets.d_read);
        core::socketSetCopy(d_descriptor_manager->writeSet().fdset(), &sets.d_write);
        core::socketSetCopy(d_descriptor_manager->exceptionSet().fdset(), &sets.d_exception);
        const int ready =
            core::selectSockets(&sets.d_read, &sets.d_write, &sets.d_exception, &timeout);
        const int selectError = ready < 0 ? WSAGetLastError() : 0;
        ++d_select_count;
        TimeCache::markStale();
        if (ready == 0) {
            queue.processTimers();
        } else if (ready < 0) {
            // No socket is served while select fails.  A descriptor
            // closed while registered fails every pass: it is set aside
            // and named.  Any other failure that returns at once repeats
            // on every pass: wait as long as the select would have, so the
            // loop neither spins nor starves its timers.  A signal only
            // cuts the wait short.
            if (selectError != WSAEINTR) {
                LOG_RATE(6, core::LOG_WARN, "kern::StdKernel::runLoop - Select error: %d",
                         selectError);
                if (d_descriptor_manager->setAsideClosed() == 0) {
                    std::this_thread::sleep_for(std::chrono::seconds(timeout.tv_sec) +
                                                std::chrono::microseconds(timeout.tv_usec));
                }
            }
            queue.processTimers();
        } else {
            d_descriptor_manager->readSet().dispatch(sets.d_read);
            d_descriptor_manager->writeSet().dispatch(sets.d_write);
            d_descriptor_manager->exceptionSet().dispatch(sets.d_exception);
            if (pass % 5 == 0) {
                queue.processTimers();
            } else if (!queue.zeroListEmpty()) {
                queue.processZeroTimers();
            }
            ++pass;
        }
    }
    d_stop = false;
    TimeCache::setReuseLimit(1);
}

}  // namespace kern
