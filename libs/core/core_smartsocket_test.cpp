#include "core_smartsocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "testsupport_logcapture.h"

namespace core {
namespace {

// Binds 'socket' to an ephemeral 127.0.0.1 port and answers the port.
int bindLoopback(SmartSocket* socket) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket->get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return 0;
    }
    socklen_t size = sizeof address;
    ::getsockname(socket->get(), reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

TEST(ParseIpv4, AcceptsExactlyFourDecimalPartsUpTo255) {
    uint32_t address = 0;
    ASSERT_TRUE(parseIpv4("10.0.0.1", &address));
    EXPECT_EQ(address, htonl(0x0A000001));
    ASSERT_TRUE(parseIpv4("255.255.255.255", &address));
    EXPECT_EQ(address, 0xFFFFFFFFu);
    ASSERT_TRUE(parseIpv4("0.0.0.0", &address));
    EXPECT_EQ(address, 0u);
    for (const char* bad :
         {"10.0.0", "10.0.0.256", "10.0.0.1.5", "host.name", "", "10..0.1", "10.0.0.1.",
          ".10.0.0.1", "1.2.3.-4", "1.2.3.4x", " 1.2.3.4", "1.2.3.99999999999"}) {
        EXPECT_FALSE(parseIpv4(bad, &address)) << bad;
    }
}

TEST(SmartSocket, ConnectsToAListenerAndFailsOnRefusedOrInvalidTargets) {
    testutil::LogLines log;
    SmartSocket listener;
    ASSERT_TRUE(listener.create(SOCK_STREAM, SmartSocket::e_REUSE_ADDR));
    const int port = bindLoopback(&listener);
    ASSERT_GT(port, 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    SmartSocket reaching;
    ASSERT_TRUE(reaching.create(SOCK_STREAM, SmartSocket::e_NON_BLOCKING));
    const auto result = reaching.connectTo("127.0.0.1", port);
    EXPECT_TRUE(result == SmartSocket::e_CONNECTED || result == SmartSocket::e_IN_PROGRESS);

    // A port that nothing listens on: bind one, close it, connect there.
    SmartSocket probe;
    ASSERT_TRUE(probe.create(SOCK_STREAM, SmartSocket::e_NONE));
    const int closedPort = bindLoopback(&probe);
    ASSERT_GT(closedPort, 0);
    probe.close();
    SmartSocket client;
    ASSERT_TRUE(client.create(SOCK_STREAM, SmartSocket::e_NONE));
    EXPECT_EQ(client.connectTo("127.0.0.1", closedPort), SmartSocket::e_FAILED);
    EXPECT_EQ(client.lastError(), WSAECONNREFUSED);

    EXPECT_EQ(client.connectTo("not.an.address", 80), SmartSocket::e_FAILED);
    EXPECT_TRUE(log.contains("core::SmartSocket::connectTo - invalid addr 'not.an.address'"));
}

TEST(SmartSocket, OwnsItsHandle) {
    testutil::FailureRecorder failures;
    SmartSocket empty;
    EXPECT_FALSE(empty.setNonBlocking());
    EXPECT_FALSE(empty.setReuseAddr());
    EXPECT_EQ(empty.connectTo("127.0.0.1", 1), SmartSocket::e_FAILED);
    EXPECT_EQ(testutil::FailureRecorder::failures().size(), 3u);

    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    {
        SmartSocket owner(fds[0]);
        owner.reset(fds[1]);  // closes fds[0]
        EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
        EXPECT_EQ(owner.release(), fds[1]);
        EXPECT_FALSE(owner.isValid());
    }
    EXPECT_NE(::fcntl(fds[1], F_GETFD), -1);  // released: still open
    ::close(fds[1]);
}

}  // namespace
}  // namespace core
