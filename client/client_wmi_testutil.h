// client_wmi_testutil.h                                           -*-C++-*-
//
// Test helpers for the Client's WMI work: a Client on a real loop (see
// ClientHarness) in front of the stand-in provider holding a repository the
// test writes, a capture of the log lines of every thread, and request
// builders.
//
// Thread safety: 'LogLines' may be written from any thread; the rest belongs
// to the test's thread.
#ifndef INCLUDED_CLIENT_WMI_TESTUTIL
#define INCLUDED_CLIENT_WMI_TESTUTIL

#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "client_loop_testutil.h"
#include "client_photo_testutil.h"
#include "wmi_standin.h"

namespace testutil {

// Collects every log line (CRIT to NORM enabled) while it lives.
class LogLines {
  public:
    LogLines();
    ~LogLines();
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    // Lines "Tag - message" containing 'text'.
    int count(const std::string& text) const;
    bool contains(const std::string& text) const { return count(text) > 0; }
    // The logger's numbers of the threads that wrote lines containing 'text'.
    std::set<unsigned> threadsOf(const std::string& text) const;
    std::vector<std::string> lines() const;
    std::string all() const;
    void clear();

    struct Store;

  private:
    std::shared_ptr<Store> d_store;
};

// A Client, its NVR and the stand-in with the repository 'mof' loaded.
class WmiHarness {
  public:
    explicit WmiHarness(const std::string& mof);
    ~WmiHarness();

    // Starts the Client and waits for the NVR link.
    bool start() { return d_harness.startAndConnect(); }
    // Starts the Client, waits for the NVR link and connects 'nameSpace'.
    bool startWithNamespace(const std::string& nameSpace);

    // Sends 'request' and runs the loop until 'n' messages arrived; false
    // (with what arrived) on time-out.
    bool exchange(const Message& request, size_t n, std::vector<Message>* replies,
                  Millis timeout = Millis(5000));

    // Runs the loop until 'n' messages arrived.
    bool collect(size_t n, std::vector<Message>* out, Millis timeout = Millis(5000));

    // Sends 'request' and runs the loop until the Client has handled it (a
    // status request after it has been answered); answers the messages that
    // came before the status reply.
    std::vector<Message> handle(const Message& request);

    // Raises the 'instance of' blocks of 'mof' as one delivery.
    void raise(const std::string& mof);

    Client& client() { return d_harness.client(); }
    ClientHarness& harness() { return d_harness; }
    wmi::standin::Provider& provider() { return *d_provider; }

    LogLines d_log;

  private:
    std::shared_ptr<wmi::standin::Provider> d_provider;
    ClientHarness d_harness;
};

// Requests as the NVR writes them.
Message subscribeRequest(const std::string& className, std::vector<Parameter> wanted);
Message lookupRequest(const std::string& className, std::vector<Parameter> conditions,
                      std::vector<Parameter> wanted);
Message executeRequest(const std::string& className, const std::string& method,
                       std::vector<Parameter> arguments, std::vector<Parameter> wanted,
                       const std::string& target = "");

// The parameter 'name' of 'message''s output list (null when absent).
const Parameter* outParam(const Message& message, const std::string& name);

}  // namespace testutil

// Readable failure output of the test framework.
void PrintTo(const Message& message, std::ostream* out);
void PrintTo(const Parameter& parameter, std::ostream* out);

#endif
