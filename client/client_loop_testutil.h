// client_loop_testutil.h                                          -*-C++-*-
//
// Test helper for the Client in this process: a private data folder (as
// PROGRAMDATA), a settings file pointing at an NVR played by the test, the
// stand-in WMI with its sample generator off, and a kernel whose loop the
// test runs on its own thread until a condition holds.  Every run is bounded.
// The timers run on the real clock plus an offset the test can move forward
// ('skip'), so waits of many seconds cost none.
#ifndef INCLUDED_CLIENT_LOOP_TESTUTIL
#define INCLUDED_CLIENT_LOOP_TESTUTIL

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "client.h"
#include "kern_kernel.h"
#include "testsupport_service.h"
#include "testsupport_tempdir.h"

namespace testutil {

// Letters that do not compress away, so frames keep their size on the wire.
std::string noise(size_t size, uint32_t seed);

class ClientHarness {
  public:
    // Sets PROGRAMDATA to a fresh folder, writes the settings file for
    // 'nvr' and builds kernel and Client (not started).
    ClientHarness();
    // Destroys the Client, then the kernel.
    ~ClientHarness();
    ClientHarness(const ClientHarness&) = delete;
    ClientHarness& operator=(const ClientHarness&) = delete;

    // Runs the kernel's loop until 'condition' holds (checked every 5 ms on
    // the loop thread) or 'timeout' passes; answers whether it held.  May be
    // called again after it returned.
    bool runUntil(const std::function<bool()>& condition, Millis timeout);

    // Starts the Client and runs the loop until the NVR has accepted its
    // connection (the first connect comes after 1 s).
    bool startAndConnect();

    // Runs the loop until 'nvr' has taken the Client's connection and the
    // link is up.
    bool runUntilConnected(FakeNvr& nvr);

    // Runs the loop until the NVR has received a message; false on time-out.
    bool receive(Message* message, Millis timeout);

    // Sends a namespace connect for 'path' and runs until the Client holds it.
    bool connectNamespace(const std::string& path);

    // Asks the Client to stop as the service host would.
    void requestStop();

    // Runs the loop until something stops the kernel (true) or 'timeout'
    // passes (false).
    bool runUntilStopped(Millis timeout);

    // Moves the timers' clock 'ms' forward: timers due by then fire on the
    // next loop pass (each periodic one once).
    static void skip(int64_t ms);

    Client& client() { return *d_client; }
    kern::StdKernel& kernel() { return *d_kernel; }
    // Destroys the Client (the kernel stays).
    void destroyClient() { d_client.reset(); }

    testutil::TempDir d_dir;
    FakeNvr d_nvr;
    std::mutex d_stop_mutex;
    unsigned char d_stop_requested = 0;

  private:
    std::unique_ptr<kern::StdKernel> d_kernel;
    std::unique_ptr<Client> d_client;
};

}  // namespace testutil

#endif
