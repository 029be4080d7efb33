#include "platform/core_winsock.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/core_platform.h"

namespace core {
namespace {

struct Pair {
    int d_fd[2] = {-1, -1};
    Pair() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, d_fd); }
    ~Pair() {
        for (int fd : d_fd) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

SocketSet setOf(std::initializer_list<SOCKET> fds) {
    SocketSet set;
    socketSetZero(&set);
    for (SOCKET fd : fds) {
        socketSetAdd(fd, &set);
    }
    return set;
}

const timeval k_NO_WAIT{0, 0};

TEST(SocketSet, KeepsInsertionOrderWithoutDuplicatesUpToCapacity) {
    SocketSet set = setOf({9, 3, 9, 5});
    ASSERT_EQ(set.fd_count, 3u);
    EXPECT_EQ(set.fd_array[0], 9);
    EXPECT_EQ(set.fd_array[1], 3);
    EXPECT_TRUE(socketSetRemove(9, &set));
    EXPECT_FALSE(socketSetRemove(9, &set));
    EXPECT_EQ(set.fd_array[0], 3);  // later entries move down
    EXPECT_EQ(set.fd_array[1], 5);
    socketSetZero(&set);
    for (int i = 0; i < k_SOCKET_SET_SIZE; ++i) {
        EXPECT_TRUE(socketSetAdd(10000 + i, &set));
    }
    EXPECT_FALSE(socketSetAdd(1, &set));
    EXPECT_TRUE(socketSetHas(10000 + k_SOCKET_SET_SIZE - 1, &set));
}

TEST(SelectSockets, LeavesOnlyReadySocketsInEachSet) {
    Pair quiet;
    Pair busy;
    ASSERT_EQ(::write(busy.d_fd[1], "x", 1), 1);
    SocketSet read = setOf({quiet.d_fd[0], busy.d_fd[0]});
    SocketSet write = setOf({quiet.d_fd[0]});
    SocketSet except = setOf({quiet.d_fd[0]});
    // busy[0] readable, quiet[0] writable: two entries.
    EXPECT_EQ(selectSockets(&read, &write, &except, &k_NO_WAIT), 2);
    ASSERT_EQ(read.fd_count, 1u);
    EXPECT_EQ(read.fd_array[0], busy.d_fd[0]);
    EXPECT_EQ(write.fd_count, 1u);
    EXPECT_EQ(except.fd_count, 0u);
}

TEST(SelectSockets, TimesOutAndClearsTheSets) {
    Pair quiet;
    SocketSet read = setOf({quiet.d_fd[0]});
    const timeval wait{0, 20000};
    const int64_t before = tickCountMs();
    EXPECT_EQ(selectSockets(&read, nullptr, nullptr, &wait), 0);
    EXPECT_GE(tickCountMs() - before, 19);
    EXPECT_EQ(read.fd_count, 0u);
}

TEST(SelectSockets, PeerCloseMakesTheSocketReadable) {
    Pair pair;
    ::close(pair.d_fd[1]);
    pair.d_fd[1] = -1;
    SocketSet read = setOf({pair.d_fd[0]});
    EXPECT_EQ(selectSockets(&read, nullptr, nullptr, &k_NO_WAIT), 1);
}

TEST(SelectSockets, WorksForDescriptorsAbove1024) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 1600) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < 1600) {
        GTEST_SKIP() << "descriptor limit too low";
    }
    Pair pair;
    ASSERT_EQ(::dup2(pair.d_fd[0], 1500), 1500);
    ASSERT_EQ(::write(pair.d_fd[1], "x", 1), 1);
    SocketSet read = setOf({1500});
    EXPECT_EQ(selectSockets(&read, nullptr, nullptr, &k_NO_WAIT), 1);
    EXPECT_TRUE(socketSetHas(1500, &read));
    ::close(1500);
}

TEST(SelectSockets, FailuresCarryTheWinsockCode) {
    SocketSet empty = setOf({});
    EXPECT_EQ(selectSockets(&empty, &empty, &empty, &k_NO_WAIT), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);

    int fd = ::dup(0);
    ::close(fd);
    SocketSet closed = setOf({fd});
    EXPECT_EQ(selectSockets(&closed, nullptr, nullptr, &k_NO_WAIT), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(Winsock, ErrnoTranslatesToWinsockCodes) {
    EXPECT_EQ(winsockCodeFromSystemError(ECONNREFUSED), WSAECONNREFUSED);
    EXPECT_EQ(winsockCodeFromSystemError(EAGAIN), WSAEWOULDBLOCK);
    EXPECT_EQ(winsockCodeFromSystemError(EWOULDBLOCK), WSAEWOULDBLOCK);
    EXPECT_EQ(winsockCodeFromSystemError(EINPROGRESS), WSAEINPROGRESS);
    EXPECT_EQ(winsockCodeFromSystemError(ECONNRESET), WSAECONNRESET);
    EXPECT_EQ(winsockCodeFromSystemError(EPIPE), WSAECONNRESET);
    EXPECT_EQ(winsockCodeFromSystemError(ETIMEDOUT), WSAETIMEDOUT);
    EXPECT_EQ(winsockCodeFromSystemError(0), 0);
    // A value whose Winsock neighbour (10061) means something else entirely.
    EXPECT_EQ(winsockCodeFromSystemError(ENODATA), WSASYSCALLFAILURE);
    errno = EHOSTUNREACH;
    EXPECT_EQ(WSAGetLastError(), WSAEHOSTUNREACH);
}

TEST(Winsock, NonBlockingAndSendToAClosedPeerNeverKill) {
    // The default SIGPIPE disposition would end the process here.
    ASSERT_EQ(std::signal(SIGPIPE, SIG_DFL), std::signal(SIGPIPE, SIG_DFL));
    Pair pair;
    unsigned long on = 1;
    ASSERT_EQ(ioctlsocket(pair.d_fd[0], FIONBIO, &on), 0);
    char byte;
    EXPECT_EQ(recvSocket(pair.d_fd[0], &byte, 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ::close(pair.d_fd[1]);
    pair.d_fd[1] = -1;
    EXPECT_EQ(sendSocket(pair.d_fd[0], "x", 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    int pending = -1;
    EXPECT_TRUE(socketPendingError(pair.d_fd[0], &pending));
    EXPECT_EQ(ioctlsocket(pair.d_fd[0], 12345, &on), SOCKET_ERROR);
}

TEST(Platform, TickCountAndTypeNames) {
    const int64_t a = tickCountMs();
    const int64_t b = tickCountMs();
    EXPECT_GE(b, a);
    EXPECT_GT(a, 0);
    EXPECT_EQ(readableTypeName(typeid(SocketSet)), "core::SocketSet");
    EXPECT_EQ(processId(), static_cast<int>(::getpid()));
    EXPECT_EQ(k_BREAK_SIGNAL, SIGQUIT);
}

}  // namespace
}  // namespace core
