// servicehost.h                                                   -*-C++-*-
//
// The service manager as the service host sees it.  On Windows these are the
// service control manager's own calls; on Linux the service manager is
// systemd: the dispatcher runs the service main on a thread of its own when
// the process was started with NOTIFY_SOCKET set (Type=notify), status
// reports become sd_notify messages, and SIGTERM reaches the control handler
// as a stop control.  Without NOTIFY_SOCKET the dispatcher fails as it does on
// Windows for a program started from a console.
//
// Thread safety: 'startServiceDispatcher' on the main thread; the rest on any.
#ifndef INCLUDED_SERVICEHOST
#define INCLUDED_SERVICEHOST

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

using DWORD = uint32_t;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};

using SERVICE_STATUS_HANDLE = void*;

// The calling convention of service callbacks (only 32-bit Windows has one).
#define WINAPI

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_ACCEPT_STOP = 1;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 4;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
#endif

namespace svchost {

using ServiceMainFunction = void (*)(int argc, char** argv);
using ControlHandlerFunction = void(WINAPI*)(DWORD control);

// Runs 'serviceMain' as the service 'name' and blocks until it has stopped.
// 'argc'/'argv' are the process's arguments; on Linux they become the service
// start parameters.  False when the process is not run by the service manager.
bool startServiceDispatcher(const char* name, ServiceMainFunction serviceMain, int argc,
                            char** argv);

// Registers the control handler; null on failure.
SERVICE_STATUS_HANDLE registerControlHandler(const char* name, ControlHandlerFunction handler);

// Reports 'status' to the service manager.
bool setServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status);

}  // namespace svchost

#endif
