// testsupport_service.h                                           -*-C++-*-
//
// Test helpers for the service: an NVR on 127.0.0.1 that accepts the
// service's connection and exchanges framed messages, and the service binary
// run as a child process with its own data folder.  Every wait is bounded.
// POSIX only.
#ifndef INCLUDED_TESTSUPPORT_SERVICE
#define INCLUDED_TESTSUPPORT_SERVICE

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lnl_packer.h"
#include "testsupport_nvrmessages.h"

namespace testutil {

using Millis = std::chrono::milliseconds;

// Plays the NVR: listens on 127.0.0.1 (an ephemeral port), accepts one
// connection at a time and decodes what arrives.
class FakeNvr : public NS_LNL::PackerOwner {
  public:
    FakeNvr();
    ~FakeNvr() override;

    int port() const { return d_port; }

    // Waits up to 'timeout' for the service to connect; true when connected.
    bool accept(Millis timeout);
    bool connected() const { return d_conn >= 0; }
    void closeConnection();

    void send(const Message& message);
    void sendRaw(const std::string& bytes);

    // Waits up to 'timeout' for the next message; false on time-out or close.
    bool receive(Message* message, Millis timeout);
    // Waits up to 'timeout' for the connection to be closed by the service.
    bool waitClosed(Millis timeout);
    // Bytes received that were not part of a frame (keep-alives).
    size_t keepalives() const { return d_keepalives; }
    // Reads whatever arrives within 'timeout'.
    void pump(Millis timeout);
    // Forgets the messages received and not yet taken (those of a connection
    // before the current one).
    void discardReceived() { d_messages.clear(); }

    void handleProcessData(const Message& message) override { d_messages.push_back(message); }

  private:
    int d_listen = -1;
    int d_conn = -1;
    int d_port = 0;
    NS_LNL::Packer d_packer{this};
    std::deque<Message> d_messages;
    size_t d_keepalives = 0;
};

// A child process with a bounded wait.
class Process {
  public:
    // Starts 'argv' with 'env' added to the environment; output to 'logFile'.
    Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& logFile);
    ~Process();  // kills the child if it still runs

    pid_t pid() const { return d_pid; }
    void signal(int sig);
    // Waits up to 'timeout'; answers the exit code, or -1 on time-out, or
    // 128 + signal when killed.
    int wait(Millis timeout);
    bool running();

  private:
    pid_t d_pid = -1;
    int d_status = -1;
};

// The built binaries.
std::string binaryPath(const std::string& name);

// Waits up to 'timeout' until 'condition' holds, checking every 10 ms.
bool waitFor(const std::function<bool()>& condition, Millis timeout);

// Answers the file's contents (empty when missing).
std::string readFile(const std::string& path);

// Replaces the INI settings file at once: the NVR endpoint, then 'extra'
// (further sections), with the permissions 'mode'.
void writeSettings(const std::string& programData, const std::string& address, int port,
                   const std::string& extra = "",
                   std::filesystem::perms mode = std::filesystem::perms(0644));

}  // namespace testutil

#endif
