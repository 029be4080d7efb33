// Reads arbitrary bytes as a repository file of the WMI stand-in and, when
// that succeeds, the same bytes as an event file against the repository read.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "wmi_mof.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    wmi::standin::Repository repository;
    wmi::standin::MofError error;
    if (!wmi::standin::parseRepository(text, &repository, &error)) {
        (void)error.text();
        return 0;
    }
    std::vector<wmi::standin::EventBatch> batches;
    wmi::standin::parseEvents(text, repository, &batches, &error);
    return 0;
}
