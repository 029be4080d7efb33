// Windows test programs: Winsock 2.2 is started before any test runs, as the
// service's own start-up does before its entry.
#ifdef _WIN32

#include <winsock2.h>

namespace {
const bool s_started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
}  // namespace

#endif
