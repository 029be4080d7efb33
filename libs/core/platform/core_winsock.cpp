#include "platform/core_winsock.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#ifndef _WIN32

int WSAGetLastError() {
    return core::winsockCodeFromSystemError(errno);
}

int closesocket(SOCKET s) {
    return ::close(s);
}

int ioctlsocket(SOCKET s, long cmd, unsigned long* arg) {
    if (cmd != static_cast<long>(FIONBIO) || !arg) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    const int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0) {
        return SOCKET_ERROR;
    }
    const int wanted = *arg ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s, F_SETFL, wanted) < 0 ? SOCKET_ERROR : 0;
}

#endif

namespace core {

void socketSetZero(SocketSet* set) {
    set->fd_count = 0;
}

bool socketSetAdd(SOCKET s, SocketSet* set) {
    if (socketSetHas(s, set)) {
        return true;
    }
    if (set->fd_count >= static_cast<unsigned>(k_SOCKET_SET_SIZE)) {
        return false;
    }
    set->fd_array[set->fd_count++] = s;
    return true;
}

bool socketSetRemove(SOCKET s, SocketSet* set) {
    SOCKET* begin = set->fd_array;
    SOCKET* end = begin + set->fd_count;
    SOCKET* found = std::find(begin, end, s);
    if (found == end) {
        return false;
    }
    std::copy(found + 1, end, found);
    --set->fd_count;
    return true;
}

bool socketSetHas(SOCKET s, const SocketSet* set) {
    const SOCKET* begin = set->fd_array;
    const SOCKET* end = begin + set->fd_count;
    return std::find(begin, end, s) != end;
}

void socketSetCopy(const SocketSet& from, SocketSet* to) {
    to->fd_count = from.fd_count;
    std::copy(from.fd_array, from.fd_array + from.fd_count, to->fd_array);
}

#ifdef _WIN32

SOCKET openSocket(int type) {
    SOCKET s = ::WSASocketW(AF_INET, type, 0, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        // Windows before 7 SP1 does not know the flag.
        s = ::socket(AF_INET, type, 0);
        if (s != INVALID_SOCKET) {
            ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        }
    }
    return s;
}

bool socketInheritable(SOCKET s) {
    DWORD flags = 0;
    return ::GetHandleInformation(reinterpret_cast<HANDLE>(s), &flags) != 0 &&
           (flags & HANDLE_FLAG_INHERIT) != 0;
}

int selectSockets(SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet,
                  const timeval* timeout) {
    // Winsock's select takes the time-out without const.
    return ::select(0, readSet, writeSet, exceptSet, const_cast<timeval*>(timeout));
}

int sendSocket(SOCKET s, const void* data, int length) {
    return ::send(s, static_cast<const char*>(data), length, 0);
}

int recvSocket(SOCKET s, void* data, int length) {
    return ::recv(s, static_cast<char*>(data), length, 0);
}

bool socketPendingError(SOCKET s, int* code) {
    int value = 0;
    int size = sizeof value;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &size) != 0) {
        return false;
    }
    *code = value;
    return true;
}

bool setSocketOption(SOCKET s, int level, int option, int value) {
    return ::setsockopt(s, level, option, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

int winsockCodeFromSystemError(int error) {
    return error;
}

#else

SOCKET openSocket(int type) {
    return ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
}

bool socketInheritable(SOCKET s) {
    const int flags = ::fcntl(s, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

namespace {

// Readiness in Winsock terms: a read set entry is ready when data, end of
// stream, a reset or a pending connection is there; a write set entry when a
// send would not block or would fail at once; an exception set entry on
// urgent data or a failed connect.
constexpr short k_READ_READY = POLLIN | POLLHUP | POLLERR | POLLRDHUP;
constexpr short k_WRITE_READY = POLLOUT | POLLHUP | POLLERR;
constexpr short k_EXCEPT_READY = POLLPRI | POLLERR;

unsigned keepReady(SocketSet* set, const pollfd* polled, short readyMask) {
    if (!set) {
        return 0;
    }
    unsigned kept = 0;
    for (unsigned i = 0; i < set->fd_count; ++i) {
        if (polled[i].revents & readyMask) {
            set->fd_array[kept++] = set->fd_array[i];
        }
    }
    set->fd_count = kept;
    return kept;
}

void appendPoll(std::vector<pollfd>* fds, const SocketSet* set, short events) {
    if (!set) {
        return;
    }
    for (unsigned i = 0; i < set->fd_count; ++i) {
        fds->push_back(pollfd{set->fd_array[i], events, 0});
    }
}

}  // namespace

int selectSockets(SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet,
                  const timeval* timeout) {
    const unsigned numRead = readSet ? readSet->fd_count : 0;
    const unsigned numWrite = writeSet ? writeSet->fd_count : 0;
    const unsigned numExcept = exceptSet ? exceptSet->fd_count : 0;
    if (numRead + numWrite + numExcept == 0) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    // A socket in several sets is polled once per set; poll accepts that.
    thread_local std::vector<pollfd> fds;
    fds.clear();
    appendPoll(&fds, readSet, POLLIN | POLLRDHUP);
    appendPoll(&fds, writeSet, POLLOUT);
    appendPoll(&fds, exceptSet, POLLPRI);

    timespec wait{};
    const timespec* waitPtr = nullptr;
    if (timeout) {
        wait.tv_sec = timeout->tv_sec;
        wait.tv_nsec = static_cast<long>(timeout->tv_usec) * 1000;
        if (wait.tv_sec < 0 || wait.tv_nsec < 0 || wait.tv_nsec >= 1000000000L) {
            errno = EINVAL;
            return SOCKET_ERROR;
        }
        waitPtr = &wait;
    }
    const int n = ::ppoll(fds.data(), fds.size(), waitPtr, nullptr);
    if (n < 0) {
        return SOCKET_ERROR;
    }
    for (const pollfd& p : fds) {
        if (p.revents & POLLNVAL) {
            errno = ENOTSOCK;
            return SOCKET_ERROR;
        }
    }
    if (n == 0) {
        if (readSet) {
            readSet->fd_count = 0;
        }
        if (writeSet) {
            writeSet->fd_count = 0;
        }
        if (exceptSet) {
            exceptSet->fd_count = 0;
        }
        return 0;
    }
    const pollfd* polled = fds.data();
    unsigned ready = keepReady(readSet, polled, k_READ_READY);
    ready += keepReady(writeSet, polled + numRead, k_WRITE_READY);
    ready += keepReady(exceptSet, polled + numRead + numWrite, k_EXCEPT_READY);
    return static_cast<int>(ready);
}

int sendSocket(SOCKET s, const void* data, int length) {
    return static_cast<int>(::send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL));
}

int recvSocket(SOCKET s, void* data, int length) {
    return static_cast<int>(::recv(s, data, static_cast<size_t>(length), 0));
}

bool socketPendingError(SOCKET s, int* code) {
    int value = 0;
    socklen_t size = sizeof value;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &value, &size) != 0) {
        return false;
    }
    *code = value == 0 ? 0 : winsockCodeFromSystemError(value);
    return true;
}

bool setSocketOption(SOCKET s, int level, int option, int value) {
    return ::setsockopt(s, level, option, &value, sizeof value) == 0;
}

int winsockCodeFromSystemError(int error) {
    switch (error) {
        case 0:
            return 0;
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAEBADF;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EAGAIN:
            return WSAEWOULDBLOCK;  // EWOULDBLOCK is the same value
        case EINPROGRESS:
            return WSAEINPROGRESS;
        case EALREADY:
            return WSAEALREADY;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EDESTADDRREQ:
            return WSAEDESTADDRREQ;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EPROTOTYPE:
            return WSAEPROTOTYPE;
        case ENOPROTOOPT:
            return WSAENOPROTOOPT;
        case EPROTONOSUPPORT:
            return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT:
            return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP:
            return WSAEOPNOTSUPP;  // ENOTSUP is the same value
        case EPFNOSUPPORT:
            return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ENETRESET:
            return WSAENETRESET;
        case ECONNABORTED:
            return WSAECONNABORTED;
        // Sending on a link the peer has reset: Winsock reports a reset.
        case EPIPE:
        case ECONNRESET:
            return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETOOMANYREFS:
            return WSAETOOMANYREFS;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case ELOOP:
            return WSAELOOP;
        case ENAMETOOLONG:
            return WSAENAMETOOLONG;
        case EHOSTDOWN:
            return WSAEHOSTDOWN;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        case ENOTEMPTY:
            return WSAENOTEMPTY;
        default:
            return WSASYSCALLFAILURE;
    }
}

#endif

}  // namespace core
