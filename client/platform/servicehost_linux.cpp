// The service manager on Linux: systemd with Type=notify.
#ifndef _WIN32

#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "servicehost.h"

namespace svchost {

namespace {

// Set by the service thread, called on the dispatcher thread.
std::atomic<ControlHandlerFunction> s_handler{nullptr};
int s_handle_token = 0;

const char* stateText(DWORD state) {
    switch (state) {
        case SERVICE_START_PENDING:
            return "Starting";
        case SERVICE_RUNNING:
            return "Running";
        case SERVICE_STOP_PENDING:
            return "Stopping";
        case SERVICE_STOPPED:
            return "Stopped";
        default:
            return "Unknown";
    }
}

}  // namespace

bool startServiceDispatcher(const char*, ServiceMainFunction serviceMain, int argc, char** argv) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !*socket) {
        return false;
    }
    // SIGTERM is what systemd sends to stop us: block it in every thread and
    // take it here, on the dispatcher's thread, as a stop control.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);

    std::atomic<bool> finished{false};
    std::thread serviceThread([&] {
        serviceMain(argc, argv);
        finished = true;
    });
    // A stop that arrives before the service has registered its handler
    // waits for the handler: systemd would otherwise escalate to SIGKILL.
    bool stopPending = false;
    while (!finished) {
        timespec wait{0, 100 * 1000 * 1000};
        if (sigtimedwait(&stopSignals, nullptr, &wait) == SIGTERM) {
            stopPending = true;
        }
        ControlHandlerFunction handler = s_handler.load();
        if (stopPending && handler) {
            stopPending = false;
            handler(SERVICE_CONTROL_STOP);
        }
    }
    serviceThread.join();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

SERVICE_STATUS_HANDLE registerControlHandler(const char*, ControlHandlerFunction handler) {
    if (!handler) {
        return nullptr;
    }
    s_handler = handler;
    return &s_handle_token;
}

bool setServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) {
    if (handle != &s_handle_token) {
        return false;
    }
    std::string message;
    if (status.dwCurrentState == SERVICE_RUNNING) {
        message += "READY=1\n";
    } else if (status.dwCurrentState == SERVICE_STOP_PENDING) {
        message += "STOPPING=1\n";
        // The wait hint: systemd gives the stop that much longer from now.
        if (status.dwWaitHint > 0) {
            message +=
                "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t(status.dwWaitHint) * 1000) + "\n";
        }
    }
    message += "STATUS=";
    message += stateText(status.dwCurrentState);
    if (status.dwCurrentState == SERVICE_STOPPED) {
        message += "\nEXIT_STATUS=" + std::to_string(status.dwServiceSpecificExitCode);
    }
    return sd_notify(0, message.c_str()) >= 0;
}

}  // namespace svchost

#endif
