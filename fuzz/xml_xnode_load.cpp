// Loads arbitrary bytes as a peer's payload (container, JSON or XML).  Failed
// checks keep their default of stopping the process, so a check that peer
// data can reach and that would stop the service shows up as a crash.  A
// loaded tree is then saved and loaded again; saving may report names that
// only a peer's JSON can produce, which is not a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core_assert.h"
#include "xml_xnode.h"

// Reported checks are echoed to standard output; libFuzzer reports on
// standard error.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NS_XML::XNode node;
    if (!node.load(reinterpret_cast<const char*>(data), size)) {
        return 0;
    }
    core::Assert::setStopOnFailedCheck(false);
    const core::GSharedBuf bytes = node.save();
    core::Assert::setStopOnFailedCheck(true);
    NS_XML::XNode again;
    again.load(bytes.data(), bytes.size());
    return 0;
}
