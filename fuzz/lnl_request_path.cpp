// Feeds arbitrary bytes to the service's whole request path in one process:
// the frame decoder, the document load, the message, the Client's dispatch
// and the WMI stand-in behind it.  There is no NVR link, so replies wait in
// the Client's outbound queue, which is bounded.  Each decoded message is
// also framed again and decoded, and must come back unchanged.
//
// Every input starts from the same state: the Client's namespace and
// subscriptions are dropped after each one, the sample event generator is
// off.  Failed checks keep their default of stopping the process, so a check
// that peer data can reach and that would stop the service is a crash here.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "client.h"
#include "core_v2masterlogger.h"
#include "kern_kernel.h"
#include "lnl_packer.h"

namespace {

// Collects the messages of a frame decoded again.
struct Collector : NS_LNL::PackerOwner {
    int count = 0;
    Message last;
    void handleProcessData(const Message& message) override {
        ++count;
        last = message;
    }
};

// Checks the round trip of each request, then hands it to the Client.
struct Relay : NS_LNL::PackerOwner {
    Client* client = nullptr;
    void handleProcessData(const Message& message) override {
        Collector again;
        NS_LNL::Packer decoder(&again);
        decoder.addReceivedData(NS_LNL::Packer::packMessage(message));
        if (again.count != 1 || !(again.last == message)) {
            std::fprintf(stderr, "message changed by framing it again\n");
            std::abort();
        }
        client->handleProcessData(message);
    }
};

std::mutex stopMutex;
unsigned char stopRequested = 0;
std::unique_ptr<kern::StdKernel> kernel;
std::unique_ptr<Client> client;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Reported checks and log lines echoed to standard output; libFuzzer
    // reports on standard error.
    std::freopen("/dev/null", "w", stdout);
    for (int type = 0; type < core::MasterLogger::numTypes(); ++type) {
        core::MasterLogger::disable(type);
    }
    char folder[] = "/tmp/lv_fuzz_XXXXXX";
    if (!::mkdtemp(folder)) {
        std::abort();
    }
    ::setenv("PROGRAMDATA", folder, 1);
    ::setenv("LUMIVAR_WMI_EVENT_RATE", "0", 1);
    ::unsetenv("LUMIVAR_WMI_REPOSITORY");
    ::unsetenv("LUMIVAR_WMI_EVENT_DIR");
    static char arg0[] = "lnl_request_path";
    static char* argv[] = {arg0, nullptr};
    kernel = std::make_unique<kern::StdKernel>(1, argv);
    kernel->setInstallSignalHandlers(false);
    client = std::make_unique<Client>(&stopMutex, &stopRequested);
    if (!client->start()) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Relay relay;
    relay.client = client.get();
    NS_LNL::Packer packer(&relay);
    // Inputs of odd length arrive in pieces, as a slow link delivers them.
    const size_t piece = size % 2 == 1 ? 1 + size % 61 : size;
    for (size_t at = 0; at < size; at += piece) {
        packer.addReceivedData(core::GSharedBuf::copyOf(reinterpret_cast<const char*>(data) + at,
                                                        std::min(piece, size - at)));
    }
    client->close();
    return 0;
}
