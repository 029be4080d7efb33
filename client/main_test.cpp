// The service binary as a whole: console and service modes, rebuild after a
// console signal, the status exchange with an NVR, and the log file.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include <gtest/gtest.h>

#include "servicehost.h"
#include "testsupport_service.h"
#include "testsupport_tempdir.h"

namespace {

using testutil::Millis;
using testutil::namespaceRequest;
using testutil::statusRequest;
using testutil::valueOf;

struct ServiceFixture : ::testing::Test {
    testutil::TempDir dir;
    testutil::FakeNvr nvr;
    std::string programData = dir / "data";
    std::map<std::string, std::string> env{{"PROGRAMDATA", programData},
                                           {"LUMIVAR_WMI_EVENT_RATE", "0"}};
    std::string logFile() const { return programData + "/Tessarin/Lumivar/Logs/wrapper.log"; }
};

TEST_F(ServiceFixture, ConsoleModeAnswersAndWorksAgainAfterAnInterrupt) {
    testutil::writeSettings(programData, "127.0.0.1", nvr.port());
    testutil::Process service({testutil::binaryPath("TessarinLumivar"), "console"}, env,
                              dir / "out.txt");
    ASSERT_TRUE(nvr.accept(Millis(10000)));

    nvr.send(statusRequest());
    Message reply;
    ASSERT_TRUE(nvr.receive(&reply, Millis(5000)));
    EXPECT_EQ(reply.action, e_ACTION_STATUS);
    EXPECT_EQ(valueOf(reply, "namespace"), "");
    EXPECT_EQ(valueOf(reply, "version"), "tag_lumivar_2_1_rc_1_220329-103018");
    nvr.send(namespaceRequest("root\\NoSuchNamespace"));
    nvr.send(statusRequest());
    ASSERT_TRUE(nvr.receive(&reply, Millis(5000)));
    EXPECT_EQ(valueOf(reply, "namespace"), "");

    service.signal(SIGINT);
    // The loop ends, the process pauses 5 s and builds kernel and Client anew;
    // the second Client must get through its start again.
    ASSERT_TRUE(nvr.waitClosed(Millis(10000)));
    ASSERT_TRUE(nvr.accept(Millis(15000)));
    nvr.send(namespaceRequest("root\\AccessControl"));
    nvr.send(statusRequest());
    ASSERT_TRUE(nvr.receive(&reply, Millis(5000)));
    EXPECT_EQ(valueOf(reply, "namespace"), "root\\AccessControl");
    EXPECT_TRUE(service.running());
    // One Client per cycle: the first, torn down after the pause, and its
    // successor (the log is written in batches).
    std::string log;
    testutil::waitFor(
        [&] {
            log = testutil::readFile(logFile());
            const size_t first = log.find("Client::Client");
            return first != std::string::npos &&
                   log.find("Client::Client", first + 1) != std::string::npos;
        },
        Millis(10000));
    service.signal(SIGKILL);
    service.wait(Millis(5000));
    size_t first = log.find("Client::Client");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("Client::~Client", first), std::string::npos) << log;
    EXPECT_NE(log.find("Client::Client", first + 1), std::string::npos) << log;
}

TEST_F(ServiceFixture, AnyOtherCommandLineIsServiceModeAndFailsWithoutServiceManager) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"Console"}, std::vector<std::string>{},
          std::vector<std::string>{"console", "d"}}) {
        args.insert(args.begin(), testutil::binaryPath("TessarinLumivar"));
        testutil::Process service(args, env, dir / "out.txt");
        EXPECT_EQ(service.wait(Millis(10000)), 1);
        EXPECT_NE(
            testutil::readFile(dir / "out.txt").find("Failed to start service control dispather"),
            std::string::npos);
    }
    testutil::waitFor([&] { return !testutil::readFile(logFile()).empty(); }, Millis(2000));
    EXPECT_NE(testutil::readFile(logFile()).find("Failed to start service control dispather"),
              std::string::npos);
}

// A stand-in for the service manager's notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : d_path(path) {
        d_fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        ::bind(d_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~NotifySocket() { ::close(d_fd); }
    // Waits for a datagram containing 'text'; collects everything seen.
    bool waitFor(const std::string& text, Millis timeout) {
        return testutil::waitFor(
            [&] {
                char buf[1024];
                ssize_t n = ::recv(d_fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n > 0) {
                    d_seen.append(buf, static_cast<size_t>(n)).push_back('\n');
                }
                return d_seen.find(text) != std::string::npos;
            },
            timeout);
    }
    const std::string& seen() const { return d_seen; }

  private:
    std::string d_path;
    int d_fd = -1;
    std::string d_seen;
};

// The stop arrives while the loop is down (ended by an interrupt, in the
// 5 s pause before the rebuild) or wakes the loop: either way it ends the
// service without building another Client, and the stop pending report
// carries its wait hint.
TEST_F(ServiceFixture, ServiceModeReportsReadyAndStopsOnTerminate) {
    NotifySocket notify(dir / "notify");
    env["NOTIFY_SOCKET"] = dir / "notify";
    testutil::writeSettings(programData, "127.0.0.1", nvr.port());
    testutil::Process service({testutil::binaryPath("TessarinLumivar")}, env, dir / "out.txt");
    ASSERT_TRUE(notify.waitFor("READY=1", Millis(10000))) << notify.seen();
    ASSERT_TRUE(nvr.accept(Millis(10000)));
    service.signal(SIGINT);
    service.signal(SIGTERM);
    EXPECT_TRUE(notify.waitFor("STOPPING=1\nEXTEND_TIMEOUT_USEC=5000000", Millis(5000)))
        << notify.seen();
    EXPECT_EQ(service.wait(Millis(20000)), 0);
    EXPECT_TRUE(notify.waitFor("STATUS=Stopped", Millis(1000))) << notify.seen();
    std::string log = testutil::readFile(logFile());
    EXPECT_NE(log.find("ControlHandler - SERVICE_CONTROL_STOP"), std::string::npos);
    const size_t built = log.find("Client::Client");
    EXPECT_NE(built, std::string::npos) << log;
    EXPECT_EQ(log.find("Client::Client", built + 1), std::string::npos) << log;
    EXPECT_NE(log.find("Client::~Client"), std::string::npos);
}

// A stop sent before the service has registered its control handler must
// wait for the handler: lost, it leaves systemd to escalate to SIGKILL.
std::atomic<int> s_stop_controls{0};

TEST(ServiceHostDeathTest, TerminateBeforeTheControlHandlerIsKept) {
    EXPECT_EXIT(
        {
            ::setenv("NOTIFY_SOCKET", "/nonexistent/notify", 1);
            svchost::startServiceDispatcher(
                "WrapperService",
                [](int, char**) {
                    ::kill(::getpid(), SIGTERM);
                    // Until the dispatcher has taken it.
                    testutil::waitFor(
                        [] {
                            sigset_t pending;
                            ::sigpending(&pending);
                            return !::sigismember(&pending, SIGTERM);
                        },
                        Millis(5000));
                    svchost::registerControlHandler("WrapperService", [](DWORD control) {
                        s_stop_controls += control == SERVICE_CONTROL_STOP;
                    });
                    testutil::waitFor([] { return s_stop_controls.load() > 0; }, Millis(5000));
                },
                0, nullptr);
            std::_Exit(s_stop_controls.load() == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
