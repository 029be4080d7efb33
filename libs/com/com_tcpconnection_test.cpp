#include "com_tcpconnection.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <poll.h>
#endif

#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core_smartsocket.h"
#include "kern_kernel.h"
#include "kern_testutil.h"
#include "testsupport_logcapture.h"

namespace com {

// The internal steps of a connection, for the tests below.
struct TcpConnectionTestAccess {
    static bool intConnectTo(TcpConnection& c, const Endpoint& endpoint, int port) {
        return c.intConnectTo(endpoint, port);
    }
    static int checkSocket(TcpConnection& c) { return c.checkSocket(); }
};

namespace {

using testutil::FailureRecorder;
using testutil::LogLines;

#ifdef MSG_NOSIGNAL
constexpr int k_NO_SIGNAL = MSG_NOSIGNAL;
#else
constexpr int k_NO_SIGNAL = 0;  // Windows has no SIGPIPE
#endif

// Binds 'socket' to an ephemeral 127.0.0.1 port and answers the port.
int bindLoopback(core::SmartSocket* socket) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket->get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(socket->get(), reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// The other end, served by the same loop: a 127.0.0.1 listener that accepts
// one connection and collects what arrives on it.
class Peer : public kern::DescriptorInterface {
  public:
    explicit Peer(int backlog = 4) {
        d_listener.create(SOCK_STREAM, core::SmartSocket::e_REUSE_ADDR);
        d_port = bindLoopback(&d_listener);
        ::listen(d_listener.get(), backlog);
        addReadDescriptor(d_listener.get());
    }
    ~Peer() override { removeAll(); }

    int port() const { return d_port; }
    SOCKET connectionSocket() const { return d_conn.get(); }
    bool hasPendingConnection() const {
#ifdef _WIN32
        WSAPOLLFD p{d_listener.get(), POLLRDNORM, 0};
        return ::WSAPoll(&p, 1, 0) == 1;
#else
        pollfd p{d_listener.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
#endif
    }
    // Blocking write of everything.
    void send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const auto n = ::send(d_conn.get(), bytes.data() + done,
                                  static_cast<int>(bytes.size() - done), k_NO_SIGNAL);
            ASSERT_GT(n, 0);
            done += static_cast<size_t>(n);
        }
    }
    void closeConnection() {
        if (d_conn.isValid()) {
            removeReadDescriptor(d_conn.get());
            d_conn.close();
        }
    }

    void handleDescriptor(SOCKET fd, int) override {
        if (fd == d_listener.get()) {
            d_conn.reset(::accept(d_listener.get(), nullptr, nullptr));
            ++d_accepted;
            removeReadDescriptor(d_listener.get());
            addReadDescriptor(d_conn.get());
            if (d_on_accept) {
                d_on_accept();
            }
            return;
        }
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            d_eof = true;
            closeConnection();
            if (d_on_eof) {
                d_on_eof();
            }
            return;
        }
        d_received.append(buffer, static_cast<size_t>(n));
        if (d_on_data) {
            d_on_data();
        }
    }

    std::string d_received;
    int d_accepted = 0;
    bool d_eof = false;
    std::function<void()> d_on_accept;
    std::function<void()> d_on_data;
    std::function<void()> d_on_eof;

  private:
    void removeAll() {
        if (kern::DescriptorManager* manager = kern::DescriptorManager::descriptorManager()) {
            manager->removeAll(this);
        }
    }
    core::SmartSocket d_listener;
    core::SmartSocket d_conn;
    int d_port = 0;
};

class Recorder : public TcpConnectionOwner {
  public:
    void handleConnectionUp(TcpConnection* connection) override {
        d_events.push_back("up");
        if (d_on_up) {
            d_on_up(connection);
        }
    }
    void handleConnectionDown(TcpConnection* connection, const std::string& peer, int error,
                              const std::string& reason) override {
        d_events.push_back(core::strFormat("down %s %d %s", peer, error, reason));
        EXPECT_FALSE(connection->hasConnection());  // closed before the report
        if (d_on_down) {
            d_on_down(connection);
        }
    }
    void handleReceivedData(TcpConnection* connection, const core::GSharedBuf& data) override {
        d_chunks.push_back(data.size());
        d_received.append(data.view());
        if (d_on_data) {
            d_on_data(connection);
        }
    }
    void handleSendQueueEmpty(TcpConnection*) override { ++d_queue_empty; }

    std::vector<std::string> d_events;
    std::vector<size_t> d_chunks;
    std::string d_received;
    int d_queue_empty = 0;
    std::function<void(TcpConnection*)> d_on_up;
    std::function<void(TcpConnection*)> d_on_down;
    std::function<void(TcpConnection*)> d_on_data;
};

std::string pattern(size_t size, int seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>((i * 31 + static_cast<size_t>(seed)) % 251);
    }
    return out;
}

// A port on 127.0.0.1 that nothing listens on.
int closedPort() {
    core::SmartSocket probe;
    probe.create(SOCK_STREAM, core::SmartSocket::e_NONE);
    return bindLoopback(&probe);
}

class TcpConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override { makeKernel(0, nullptr); }
    void TearDown() override { d_kernel.reset(); }

    void makeKernel(int argc, char** argv) {
        d_kernel.reset();
        d_kernel = std::make_unique<kern::StdKernel>(argc, argv);
        d_kernel->setInstallSignalHandlers(false);
    }
    // Runs the loop until 'stop' or until 'deadlineMs' of real time passed;
    // false on the deadline.
    bool runFor(int deadlineMs) {
        bool expired = false;
        kern::SingleShotTimer guard("guard", [&] {
            expired = true;
            stop();
        });
        guard.start(deadlineMs);
        d_kernel->run();
        guard.stop();
        return !expired;
    }
    void stop() { d_kernel->stopKernel(); }

    std::unique_ptr<kern::StdKernel> d_kernel;
};

TEST_F(TcpConnectionTest, ConnectsAndExchangesDataBothWays) {
    testutil::LogLines log;
    char d[] = "d";
    char type[] = "COM_TCPCON";
    char* argv[] = {d, type};
    makeKernel(2, argv);
    Peer peer;
    Recorder owner;
    TcpConnection connection(&owner);
    const std::string reply = pattern(10000, 7);
    owner.d_on_up = [&](TcpConnection* c) {
        // A program the service starts must not hold the link open.
        EXPECT_FALSE(core::socketInheritable(c->socket()));
        EXPECT_TRUE(c->readStream());
        EXPECT_TRUE(c->sendBuffer(core::GSharedBuf::copyOf("hello")));
    };
    peer.d_on_data = [&] {
        if (peer.d_received == "hello") {
            peer.send(reply);
        }
    };
    // After the first chunk reading pauses: the socket leaves the read set
    // and nothing more is delivered until reading resumes.
    size_t whilePaused = 0;
    bool readRegistered = true;
    kern::SingleShotTimer resume("resume", [&] {
        auto* manager =
            static_cast<kern::StdDescriptorManager*>(kern::DescriptorManager::descriptorManager());
        readRegistered = manager->readSet().object(connection.socket()) != nullptr;
        whilePaused = owner.d_received.size();
        connection.pauseReading(false);
    });
    owner.d_on_data = [&](TcpConnection* c) {
        if (owner.d_chunks.size() == 1) {
            c->pauseReading(true);
            resume.start(20);
        }
        if (owner.d_received.size() >= reply.size()) {
            stop();
        }
    };
    connection.connectTo("127.0.0.1", peer.port());
    EXPECT_TRUE(connection.hasConnection());
    ASSERT_TRUE(runFor(5000));
    EXPECT_FALSE(readRegistered);
    EXPECT_EQ(whilePaused, owner.d_chunks.front());

    EXPECT_EQ(owner.d_events, std::vector<std::string>{"up"});
    EXPECT_EQ(owner.d_received, reply);
    EXPECT_GE(owner.d_chunks.size(), 3u);
    for (size_t chunk : owner.d_chunks) {
        EXPECT_LE(chunk, 4096u);
        EXPECT_GT(chunk, 0u);
    }
    EXPECT_EQ(owner.d_queue_empty, 1);
    EXPECT_EQ(connection.queuedBytes(), 0);
    EXPECT_EQ(connection.totalSent(), 5);
    EXPECT_EQ(connection.totalReceived(), 10000);
    const std::string target = core::strFormat("127.0.0.1:%d", peer.port());
    EXPECT_EQ(connection.peerText(), target);
    EXPECT_TRUE(log.contains(
        core::strFormat("com::TcpConnection::intConnectTo(127.0.0.1,%d)", peer.port())));
}

TEST_F(TcpConnectionTest, DataQueuedWhileConnectingIsWrittenAfterUp) {
    Peer peer;
    Recorder owner;
    TcpConnection connection(&owner);
    std::vector<std::string> order;
    owner.d_on_up = [&](TcpConnection*) { order.push_back("up"); };
    peer.d_on_data = [&] {
        order.push_back("peer got " + peer.d_received);
        stop();
    };
    connection.connectTo("127.0.0.1", peer.port());
    ASSERT_TRUE(connection.isConnecting());
    EXPECT_TRUE(connection.sendBuffer(core::GSharedBuf::copyOf("early")));
    EXPECT_TRUE(connection.sendBuffer(core::GSharedBuf()));  // nothing to write: ignored
    EXPECT_EQ(connection.queuedBytes(), 5);
    ASSERT_TRUE(runFor(5000));
    EXPECT_EQ(order, (std::vector<std::string>{"up", "peer got early"}));
}

TEST_F(TcpConnectionTest, LargeQueueDrainsAcrossPassesIntact) {
    constexpr size_t k_BUFFER = 65536;
    constexpr int k_BUFFERS = 64;
    Peer peer;
    Recorder owner;
    TcpConnection connection(&owner);
    std::string expected;
    owner.d_on_up = [&](TcpConnection* c) {
        for (int i = 0; i < k_BUFFERS; ++i) {
            const std::string part = pattern(k_BUFFER, i);
            expected += part;
            EXPECT_TRUE(c->sendBuffer(core::GSharedBuf::copyOf(part)));
        }
        EXPECT_EQ(c->queuedBytes(), static_cast<int64_t>(k_BUFFER * k_BUFFERS));
    };
    peer.d_on_data = [&] {
        if (peer.d_received.size() == k_BUFFER * k_BUFFERS) {
            stop();
        }
    };
    connection.connectTo("127.0.0.1", peer.port());
    const uint32_t passesBefore = d_kernel->selectCount();
    ASSERT_TRUE(runFor(20000));
    EXPECT_TRUE(peer.d_received == expected);
    EXPECT_EQ(owner.d_queue_empty, 1);
    EXPECT_EQ(connection.queuedBytes(), 0);
    EXPECT_EQ(connection.numQueuedBuffers(), 0u);
    // One send per write event: at least one pass per buffer.
    EXPECT_GE(d_kernel->selectCount() - passesBefore, static_cast<uint32_t>(k_BUFFERS));
}

TEST_F(TcpConnectionTest, RefusedConnectionReportsConnectionRefused) {
    Recorder owner;
    TcpConnection connection(&owner);
    owner.d_on_down = [&](TcpConnection*) { stop(); };
    const int port = closedPort();
    connection.connectTo("127.0.0.1", port);
    ASSERT_TRUE(runFor(5000));
    EXPECT_EQ(owner.d_events, std::vector<std::string>{core::strFormat(
                                  "down 127.0.0.1:%d 107 Connection refused", port)});
    EXPECT_FALSE(connection.hasConnection());
    EXPECT_EQ(connection.numActiveTimers(), 0);
}

TEST_F(TcpConnectionTest, PeerClosingGivesClosed) {
    Peer peer;
    Recorder owner;
    TcpConnection connection(&owner);
    owner.d_on_up = [&](TcpConnection* c) { c->readStream(); };
    owner.d_on_down = [&](TcpConnection*) { stop(); };
    peer.d_on_accept = [&] {
        peer.send("bye");
        peer.closeConnection();
    };
    connection.connectTo("127.0.0.1", peer.port());
    ASSERT_TRUE(runFor(5000));
    EXPECT_EQ(owner.d_received, "bye");
    EXPECT_EQ(owner.d_events,
              (std::vector<std::string>{
                  "up", core::strFormat("down 127.0.0.1:%d 0 closed", peer.port())}));
    // Closed and reusable.
    EXPECT_FALSE(connection.hasConnection());
    EXPECT_EQ(connection.serial(), 0);
}

TEST_F(TcpConnectionTest, SendingToAResetPeerReportsTheResetAndNeverRaisesSigpipe) {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_DFL);  // the disposition that would end the process
#endif
    Peer peer;
    Recorder owner;
    TcpConnection connection(&owner);
    const core::GSharedBuf block = core::GSharedBuf::copyOf(pattern(65536, 1));
    owner.d_on_down = [&](TcpConnection*) { stop(); };
    peer.d_on_data = [&] {
        linger abort{1, 0};  // close with a reset once data flows
        ::setsockopt(peer.connectionSocket(), SOL_SOCKET, SO_LINGER,
                     reinterpret_cast<const char*>(&abort), sizeof abort);
        peer.closeConnection();
    };
    owner.d_on_up = [&](TcpConnection* c) {
        // More than the loopback buffers can absorb.
        for (int i = 0; i < 512; ++i) {
            c->sendBuffer(block);
        }
    };
    connection.connectTo("127.0.0.1", peer.port());
    ASSERT_TRUE(runFor(5000));
    EXPECT_EQ(
        owner.d_events,
        (std::vector<std::string>{
            "up", core::strFormat("down 127.0.0.1:%d 108 Connection reset by peer", peer.port())}));
}

TEST_F(TcpConnectionTest, CloseInsideConnectionUpStopsTheHandling) {
    testutil::LogLines log;
    Peer peer;
    Recorder owner;
    TcpConnection connection(&owner);
    owner.d_on_up = [&](TcpConnection* c) {
        c->close();
        stop();
    };
    connection.connectTo("127.0.0.1", peer.port());
    connection.sendBuffer(core::GSharedBuf::copyOf("never sent"));
    ASSERT_TRUE(runFor(5000));
    EXPECT_EQ(owner.d_events, std::vector<std::string>{"up"});
    EXPECT_FALSE(connection.hasConnection());
    EXPECT_EQ(connection.queuedBytes(), 0);
    EXPECT_TRUE(log.contains("Log at com_tcpconnection:"));
    EXPECT_TRUE(log.contains("(com::TcpConnection::handleDescriptor)"));
    EXPECT_EQ(owner.d_queue_empty, 0);
}

TEST_F(TcpConnectionTest, ConnectThatNeverCompletesTimesOutAfterTheConnectTimeout) {
    kern::FakeClock clock;
    // A listener whose one-entry queue is full drops further handshakes.
    Peer peer(0);
    d_kernel->descriptorManager()->removeAll(&peer);  // never accepts
    core::SmartSocket filler;
    filler.create(SOCK_STREAM, core::SmartSocket::e_NONE);
    ASSERT_EQ(filler.connectTo("127.0.0.1", peer.port()), core::SmartSocket::e_CONNECTED);
    struct RestoreTimeout {
        ~RestoreTimeout() { TcpConnection::setConnectTimeout(TcpConnection::k_CONNECT_TIMEOUT_MS); }
    } restore;
    // Twenty seconds unless set otherwise.
    for (const int timeoutMs : {TcpConnection::k_CONNECT_TIMEOUT_MS, 30}) {
        SCOPED_TRACE(timeoutMs);
        TcpConnection::setConnectTimeout(timeoutMs);
        Recorder owner;
        TcpConnection connection(&owner);
        owner.d_on_up = [&](TcpConnection*) { stop(); };
        owner.d_on_down = [&](TcpConnection*) { stop(); };
        connection.connectTo("127.0.0.1", peer.port());
        ASSERT_TRUE(connection.isConnecting());
        int step = 0;
        kern::SingleShotTimer advance("advance");
        advance.setFunction([&] {
            if (step++ == 0) {
                kern::FakeClock::advance(timeoutMs - 1);
                advance.start(0);
            } else {
                EXPECT_TRUE(owner.d_events.empty());  // not yet a millisecond before
                kern::FakeClock::advance(1);
            }
        });
        advance.start(0);
        d_kernel->run();
        EXPECT_EQ(owner.d_events, std::vector<std::string>{
                                      core::strFormat("down 127.0.0.1:%d 0 timeout", peer.port())});
        EXPECT_FALSE(connection.hasConnection());
    }
}

TEST_F(TcpConnectionTest, UnusableTargetsFailOnTheNextPassAndNeverStopTheProcess) {
    // Default check setting: a stopping check here would end the test.
    ASSERT_TRUE(core::Assert::stopOnFailedCheck());
    testutil::LogLines log;
    Peer peer;
    d_kernel->descriptorManager()->removeAll(&peer);
    struct Target {
        std::string host;
        int port;
        std::string peerText;
    };
    const std::vector<Target> targets = {
        {"0.0.0.0", peer.port(), "0.0.0.0"},
        {"host.name", peer.port(), "host.name"},
        {"10.0.0", peer.port(), "10.0.0"},
        {"127.0.0.1", 0, "127.0.0.1"},
        {"a-very-long-nvr-host-name.example", peer.port(), "a-very-long-nvr-hos"},
        {"", peer.port(), ""},
    };
    for (const Target& target : targets) {
        SCOPED_TRACE(target.host);
        log.clear();
        Recorder owner;
        TcpConnection connection(&owner);
        owner.d_on_down = [&](TcpConnection*) { stop(); };
        connection.connectTo(target.host, target.port);
        EXPECT_FALSE(connection.hasConnection());
        EXPECT_TRUE(owner.d_events.empty());  // never synchronously
        EXPECT_TRUE(connection.sendBuffer(core::GSharedBuf::copyOf("dropped")));
        EXPECT_TRUE(connection.readStream());
        ASSERT_TRUE(runFor(5000));
        EXPECT_EQ(owner.d_events,
                  std::vector<std::string>{"down " + target.peerText + " 0 connect failed"});
        EXPECT_TRUE(log.contains("GASSERT failed at "));
        EXPECT_EQ(connection.numActiveTimers(), 0);
    }
    EXPECT_FALSE(peer.hasPendingConnection());  // no traffic reached anyone
}

// An output whose every line leaves errno changed, as a failed write of the
// line to a file does.
struct ErrnoChangingLog : core::LogImpl {
    void log(int, unsigned, const char*, int, std::string_view) override { errno = EACCES; }
};

// What querying a socket that is none answers: Winsock knows the handle is
// not a socket, POSIX only that the descriptor is bad.
#ifdef _WIN32
constexpr int k_NOT_A_SOCKET = WSAENOTSOCK;
#else
constexpr int k_NOT_A_SOCKET = WSAEBADF;
#endif

TEST_F(TcpConnectionTest, MisuseIsReported) {
    testutil::FailureRecorder failures;
    Peer peer;
    Recorder owner;
    TcpConnection connection(&owner);
    // The error of the failed query, not what logging it left behind.
    core::MasterLogger::setImpl(std::make_unique<ErrnoChangingLog>());
    EXPECT_EQ(TcpConnectionTestAccess::checkSocket(connection), k_NOT_A_SOCKET);
    core::MasterLogger::setImpl(nullptr);

    EXPECT_FALSE(connection.sendBuffer(core::GSharedBuf::copyOf("x")));
    EXPECT_FALSE(connection.readStream());
    EXPECT_EQ(failures.takeMessages().size(), 2u);

    connection.connectTo("127.0.0.1", peer.port());
    const int serial = connection.serial();
    EXPECT_GT(serial, 0);
    EXPECT_FALSE(
        TcpConnectionTestAccess::intConnectTo(connection, Endpoint("127.0.0.1", peer.port()), 0));
    EXPECT_EQ(failures.takeMessages(),
              std::vector<std::string>{core::strFormat("127.0.0.1:%d", peer.port())});
    EXPECT_EQ(connection.serial(), serial);  // the first link is untouched

    connection.handleDescriptor(connection.socket() + 1000, kern::e_READ_SET);
    const auto messages = failures.takeMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_NE(messages[0].find(core::strFormat("!=%d,1", connection.socket())), std::string::npos);
}

TEST_F(TcpConnectionTest, DestructionClosesWithoutCallingTheOwner) {
    Peer peer;
    Recorder owner;
    auto connection = std::make_unique<TcpConnection>(&owner);
    owner.d_on_up = [&](TcpConnection*) { stop(); };
    connection->connectTo("127.0.0.1", peer.port());
    ASSERT_TRUE(runFor(5000));
    peer.d_on_eof = [&] { stop(); };
    connection.reset();
    ASSERT_TRUE(runFor(5000));  // the peer sees the end of the stream
    EXPECT_TRUE(peer.d_eof);
    EXPECT_EQ(owner.d_events, std::vector<std::string>{"up"});
    EXPECT_EQ(d_kernel->descriptorManager()->writeSet().numRegistrations(), 0);
}

TEST_F(TcpConnectionTest, RunsWithoutOwnerOnlyWhenAllowed) {
    testutil::FailureRecorder failures;
    TcpConnection allowed(nullptr);
    allowed.setOwnerCanBeNull(true);
    allowed.connectTo("0.0.0.0", 1);
    TcpConnection forbidden(nullptr);
    forbidden.connectTo("0.0.0.0", 1);
    failures.takeMessages();
    kern::SingleShotTimer later("later", [&] { stop(); });
    later.start(1);
    ASSERT_TRUE(runFor(5000));
    ASSERT_EQ(testutil::FailureRecorder::failures().size(), 1u);
    EXPECT_EQ(testutil::FailureRecorder::failures()[0].d_expr, "d_owner_can_be_null");
}

TEST(ComLogTypes, AreRegisteredAtStart) {
    EXPECT_GT(g_log_com_tcpcon, core::LOG_NORM);
    EXPECT_EQ(core::MasterLogger::findType("COM_TCPCON"), g_log_com_tcpcon);
    EXPECT_EQ(core::MasterLogger::findType("COM_PLOAD"), g_log_com_pload);
    EXPECT_EQ(core::MasterLogger::findType("COM_NWTOK"), g_log_com_nwtok);
    const int before = g_log_com_tcpcon;
    registerLogTypes();
    EXPECT_EQ(g_log_com_tcpcon, before);
}

}  // namespace
}  // namespace com
