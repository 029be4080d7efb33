// client_wmi_testutil.h                                           -*-C++-*-
//
// Test helpers for the Client's WMI work: a Client on a real loop (see
// ClientHarness) in front of the stand-in provider holding a repository the
// test writes, with a capture of the log lines of every thread.
//
// Thread safety: belongs to the test's thread.
#ifndef INCLUDED_CLIENT_WMI_TESTUTIL
#define INCLUDED_CLIENT_WMI_TESTUTIL

#include <memory>
#include <string>
#include <vector>

#include "client_loop_testutil.h"
#include "client_photo_testutil.h"
#include "testsupport_logcapture.h"
#include "testsupport_nvrmessages.h"
#include "wmi_standin.h"

namespace testutil {

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

    LogLines d_log{LogLines::e_ALL_TYPES | LogLines::e_EVERY_LINE};

  private:
    std::shared_ptr<wmi::standin::Provider> d_provider;
    ClientHarness d_harness;
};

}  // namespace testutil

#endif
