#include "client_droplog.h"

#include <algorithm>
#include <string>

#include "core_v2masterlogger.h"

bool DropLog::serialOf(const Message& event, uint64_t* serial) {
    return unsignedOutput(event, "SerialNumber", serial);
}

void DropLog::add(const Message& message) {
    if (message.action != e_ACTION_SUBSCRIBE) {
        return;
    }
    uint64_t serial = 0;
    if (serialOf(message, &serial)) {
        addSerial(serial);
    } else {
        addUnnumbered();
    }
}

void DropLog::addSerial(uint64_t serial) {
    ++d_numbered;
    if (!d_ranges.empty()) {
        Range& last = d_ranges.back();
        if (serial >= last.first && serial <= last.last + 1) {
            last.last = std::max(last.last, serial);
            return;
        }
        if (d_ranges.size() >= k_MAX_RANGES) {
            last.first = std::min(last.first, serial);
            last.last = std::max(last.last, serial);
            return;
        }
    }
    d_ranges.push_back({serial, serial});
}

void DropLog::flush() {
    if (d_numbered > 0) {
        std::string ranges;
        for (const Range& r : d_ranges) {
            ranges += ranges.empty() ? "" : ", ";
            ranges += std::to_string(r.first) + "-" + std::to_string(r.last);
        }
        LOG_WARN(d_tag, "dropped %u events with serials %s (%s)", d_numbered, ranges, d_cause);
    }
    if (d_unnumbered > 0) {
        LOG_WARN(d_tag, "dropped %u events without a serial (%s)", d_unnumbered, d_cause);
    }
    d_ranges.clear();
    d_numbered = 0;
    d_unnumbered = 0;
}
