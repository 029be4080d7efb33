// Process entry of the bridge service: console and service modes, the log
// file, the service control handler and the build-run-rebuild cycle.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "client.h"
#include "core_assert.h"
#include "core_v2masterlogger.h"
#include "cutl_environment.h"
#include "cutl_settingstrust.h"
#include "kern_kernel.h"
#include "kutl_simplelogger.h"
#include "servicehost.h"
#include "utl_fileutils.h"
#include "winsock_init.h"

namespace {

const char k_SERVICE_NAME[] = "WrapperService";
constexpr int k_REBUILD_PAUSE_MS = 5000;
// Between two steps of the stop (loop ended, Client gone, kernel gone): the
// slowest is the Client's, which cancels its subscriptions with WMI.
constexpr DWORD k_STOP_WAIT_HINT_MS = 5000;
constexpr int k_LOG_SIZE_LIMIT = 5000000;
// The logger's class of one line per minute and key.
constexpr int k_PEER_FAULT_RATE_CLASS = 6;

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace main_loc {
constexpr int k_LOG_DIR_FAILED = 149;
}  // namespace main_loc

// The service thread and the control handler's thread both change the
// status; each change and each report is made under 'statusMutex'.
std::mutex statusMutex;
SERVICE_STATUS serviceStatus;
std::atomic<SERVICE_STATUS_HANDLE> serviceStatusHandle{nullptr};
std::mutex stopMutex;
unsigned char stopRequested = 0;
// Signalled with 'stopMutex' when the flag is set: ends the rebuild pause.
std::condition_variable stopChanged;
// The cycle's kernel, which the control handler wakes; null between cycles.
std::mutex kernelMutex;
kern::Kernel* activeKernel = nullptr;

// The control handler sets the flag on its own thread, under 'stopMutex'.
bool stopWasRequested() {
    std::lock_guard<std::mutex> lock(stopMutex);
    return stopRequested != 0;
}

// Sets the state (unless 'state' is 0) and reports the status.
void reportStatus(DWORD state = 0) {
    std::lock_guard<std::mutex> lock(statusMutex);
    if (state != 0) {
        serviceStatus.dwCurrentState = state;
    }
    svchost::setServiceStatus(serviceStatusHandle, serviceStatus);
}

// One step of the stop done: the service manager sees it progress.
void reportStopProgress() {
    std::lock_guard<std::mutex> lock(statusMutex);
    if (serviceStatus.dwCurrentState == SERVICE_STOP_PENDING) {
        ++serviceStatus.dwCheckPoint;
        svchost::setServiceStatus(serviceStatusHandle, serviceStatus);
    }
}

void setActiveKernel(kern::Kernel* kernel) {
    std::lock_guard<std::mutex> lock(kernelMutex);
    activeKernel = kernel;
}

}  // namespace

int runBridge(int argc, char** argv) {
    std::unique_ptr<kern::StdKernel> kernel;
    std::unique_ptr<Client> client;
    for (;;) {
        kernel = std::make_unique<kern::StdKernel>(argc, argv);
        // From here a stop control wakes this kernel; one that came earlier
        // is seen below, before the loop runs.
        setActiveKernel(kernel.get());
        client = std::make_unique<Client>(&stopMutex, &stopRequested);
        if (!stopWasRequested() && client->start()) {
            kernel->run();
        }
        if (stopWasRequested()) {
            break;
        }
        {
            std::unique_lock<std::mutex> lock(stopMutex);
            stopChanged.wait_for(lock, std::chrono::milliseconds(k_REBUILD_PAUSE_MS),
                                 [] { return stopRequested != 0; });
        }
        client.reset();
        setActiveKernel(nullptr);
        kernel.reset();
        if (stopWasRequested()) {
            break;
        }
    }
    reportStopProgress();
    client.reset();
    reportStopProgress();
    setActiveKernel(nullptr);
    kernel.reset();
    reportStopProgress();
    return 0;
}

void WINAPI ControlHandler(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: {
            LOG_INFO("ControlHandler", control == SERVICE_CONTROL_STOP
                                           ? "SERVICE_CONTROL_STOP"
                                           : "SERVICE_CONTROL_SHUTDOWN");
            // Reported before the flag is set, so that the stopped state
            // the service thread reports afterwards is always the last.  A
            // repeated control keeps the progress made so far.
            {
                std::lock_guard<std::mutex> lock(statusMutex);
                if (serviceStatus.dwCurrentState != SERVICE_STOP_PENDING) {
                    serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
                    serviceStatus.dwCheckPoint = 1;
                    serviceStatus.dwWaitHint = k_STOP_WAIT_HINT_MS;
                }
                svchost::setServiceStatus(serviceStatusHandle, serviceStatus);
            }
            {
                std::lock_guard<std::mutex> lock(stopMutex);
                stopRequested = 1;
            }
            stopChanged.notify_all();
            // At shut-down Windows waits only about 20 s for all services:
            // the loop leaves its wait now rather than at its next stop check.
            std::lock_guard<std::mutex> lock(kernelMutex);
            if (activeKernel) {
                activeKernel->wake();
            }
            return;
        }
        case SERVICE_CONTROL_INTERROGATE:
            LOG_INFO("ControlHandler", "SERVICE_CONTROL_INTERROGATE");
            break;
        default:
            LOG_CRIT("ControlHandler", "Unhandled control received [%u]", control);
            break;
    }
    reportStatus();
}

void WmiServiceMain(int argc, char** argv) {
    winsock::disallowCleanup();
    std::unique_lock<std::mutex> lock(statusMutex);
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwCurrentState = SERVICE_START_PENDING;
    serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    serviceStatus.dwWin32ExitCode = 0;
    serviceStatus.dwServiceSpecificExitCode = 0;
    serviceStatus.dwCheckPoint = 0;
    serviceStatus.dwWaitHint = 0;
    lock.unlock();

    serviceStatusHandle = svchost::registerControlHandler(k_SERVICE_NAME, ControlHandler);
    if (!serviceStatusHandle) {
        LOG_CRIT("WmiServiceMain", "Failed to register control handler");
        return;
    }
    reportStatus();
    reportStatus(SERVICE_RUNNING);

    int result = runBridge(argc, argv);

    {
        std::lock_guard<std::mutex> statusLock(statusMutex);
        serviceStatus.dwServiceSpecificExitCode = static_cast<DWORD>(result);
        serviceStatus.dwCheckPoint = 0;
        serviceStatus.dwWaitHint = 0;
    }
    // Nothing is left to do after this report but the exit: the service
    // manager, and an installer waiting to replace the program, may end the
    // process at once.
    reportStatus(SERVICE_STOPPED);
}

int main(int argc, char** argv) {
    const std::string logDir = cutl::logDir();
    // Before anything is created inside it, so the settings file and the log
    // take on the folder's protection.
    cutl::protectDataFolder(cutl::productDataDir());
    if (!utl::FileUtils::createDir(logDir, true)) {
        core::MasterLogger::logAt(core::LOG_WARN, "main", main_loc::k_LOG_DIR_FAILED, "", "");
    }
    core::MasterLogger::setImpl(
        std::make_unique<kutl::SimpleLogger>(logDir, "wrapper.log", k_LOG_SIZE_LIMIT, 1));
    // What the NVR can trigger over and over (refused frames, the checks of
    // the loaders) is reported in full once a minute per site, with a count.
    core::Assert::setNoStopRateClass(k_PEER_FAULT_RATE_CLASS);

    if (argc == 2 && std::strcmp(argv[1], "console") == 0) {
        return runBridge(2, argv);
    }
    if (!svchost::startServiceDispatcher(k_SERVICE_NAME, WmiServiceMain, argc, argv)) {
        LOG_CRIT("ServiceMain", "Failed to start service control dispather");
        return 1;
    }
    return 0;
}
