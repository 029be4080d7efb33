// core_winsock.h                                                  -*-C++-*-
//
// The socket layer every socket user of the tree is written against: the
// Winsock 2 names ('SOCKET', 'INVALID_SOCKET', 'SOCKET_ERROR', the WSAE* codes,
// 'WSAGetLastError', 'closesocket', 'ioctlsocket') and a descriptor set that
// holds a count and up to 2048 socket handles in insertion order, with
// 'select' over such sets.
//
// On Windows these are the system's own (FD_SETSIZE raised to 2048 for every
// translation unit by cmake/Windows.cmake, checked here).  On
// Linux they are provided here: 'selectSockets' is built on 'poll', so socket
// values above 1024 work; 'WSAGetLastError' translates 'errno' into the
// Winsock code; sends never raise SIGPIPE.
//
// Thread safety: the functions keep no shared state; the last-error value is
// per thread as on Windows.
#ifndef INCLUDED_CORE_WINSOCK
#define INCLUDED_CORE_WINSOCK

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

// Winsock error codes (the subset this layer produces, plus the rest of the
// classic range so that tables can name them).
enum WinsockCode : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETOOMANYREFS = 10059,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAELOOP = 10062,
    WSAENAMETOOLONG = 10063,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAENOTEMPTY = 10066,
    WSASYSCALLFAILURE = 10107
};

// The Winsock code of the calling thread's last socket failure.
int WSAGetLastError();
int closesocket(SOCKET s);
// Supports FIONBIO (non-zero '*arg' makes the socket non-blocking).
int ioctlsocket(SOCKET s, long cmd, unsigned long* arg);
#endif

namespace core {

inline constexpr int k_SOCKET_SET_SIZE = 2048;

#ifdef _WIN32
// A unit that saw <winsock2.h> with its default of 64 would lay out 'fd_set'
// differently from the others.
static_assert(FD_SETSIZE == k_SOCKET_SET_SIZE, "FD_SETSIZE comes from cmake/Windows.cmake");
using SocketSet = fd_set;
#else
// The Winsock layout: a count and the sockets in insertion order.
struct SocketSet {
    unsigned int fd_count;
    SOCKET fd_array[k_SOCKET_SET_SIZE];
};
#endif

// 'socket(AF_INET, type, 0)' whose handle no child process inherits, so that
// a program the service starts never holds the NVR link open.
// INVALID_SOCKET on failure (the reason in 'WSAGetLastError').
SOCKET openSocket(int type);
// Whether a child process started now would inherit 's'.
bool socketInheritable(SOCKET s);

// FD_ZERO.
void socketSetZero(SocketSet* set);
// FD_SET: appends 's' unless it is present or the set is full; answers
// whether 's' is in the set afterwards.
bool socketSetAdd(SOCKET s, SocketSet* set);
// FD_CLR: removes 's'; later entries move down one place.  Answers whether it
// was present.
bool socketSetRemove(SOCKET s, SocketSet* set);
// __WSAFDIsSet.
bool socketSetHas(SOCKET s, const SocketSet* set);
// Copies the used part of 'from' into 'to'.
void socketSetCopy(const SocketSet& from, SocketSet* to);

// 'select' with Winsock semantics: waits until a socket of the sets is ready
// or 'timeout' (null: no limit) passes, then leaves in each set only its
// ready sockets.  Answers the number of ready entries over the three sets, 0
// on time-out, SOCKET_ERROR on failure (three empty sets are WSAEINVAL, a
// socket that is not open is WSAENOTSOCK, an interrupted wait is WSAEINTR).
int selectSockets(SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet,
                  const timeval* timeout);

// 'send' that never raises SIGPIPE.
int sendSocket(SOCKET s, const void* data, int length);
int recvSocket(SOCKET s, void* data, int length);

// Reads SO_ERROR into '*code' as a Winsock code (0: no error).  False when
// 'getsockopt' itself fails (the reason is in 'WSAGetLastError').
bool socketPendingError(SOCKET s, int* code);

// Sets an integer socket option; false on failure.
bool setSocketOption(SOCKET s, int level, int option, int value);

// The Winsock code for a platform error number ('errno' on Linux; the code
// itself on Windows).
int winsockCodeFromSystemError(int error);

}  // namespace core

#endif
