#include "winsock_init.h"

#include <cstdlib>

#ifdef _WIN32
#include <winsock2.h>
// after winsock2.h
#include <fcntl.h>
#include <stdlib.h>
#else
#include <signal.h>
#endif

#include "core_v2masterlogger.h"

namespace winsock {

namespace {

bool s_cleanup_allowed = true;
bool s_started = false;

void cleanupAtExit() {
    if (s_cleanup_allowed && s_started) {
#ifdef _WIN32
        WSACleanup();
#endif
        s_started = false;
    }
}

bool startup() {
#ifdef _WIN32
    // Files are opened untranslated unless a call asks otherwise: no log or
    // settings byte is changed on its way to or from the disk.
#ifdef _MSC_VER
    _set_fmode(_O_BINARY);
#else
    _fmode = _O_BINARY;  // the C run-time's own variable (msvcrt has no _set_fmode)
#endif
    WSADATA data;
    int err = WSAStartup(MAKEWORD(2, 2), &data);
    if (err != 0) {
        LOG_CRIT("WinsockInit", "WSAStartup failed, err=%d", err);
    } else if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        LOG_CRIT("WinsockInit", "no suitable WinSock DLL (%d.%d)",
                 static_cast<int>(LOBYTE(data.wVersion)), static_cast<int>(HIBYTE(data.wVersion)));
        WSACleanup();
    } else {
        s_started = true;
    }
#else
    signal(SIGPIPE, SIG_IGN);
    s_started = true;
#endif
    std::atexit(cleanupAtExit);
    return s_started;
}

const bool s_startup_done = startup();

}  // namespace

bool started() {
    return s_started && s_startup_done;
}

void disallowCleanup() {
    s_cleanup_allowed = false;
}

}  // namespace winsock
