#include "nvrpeer_events.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace nvrpeer {

uint64_t fileTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
}

void EventLog::add(const Message& message, uint64_t received, double seconds) {
    if (message.action != e_ACTION_SUBSCRIBE) {
        return;
    }
    ++d_events;
    Row row{seconds, -1, -1};
    uint64_t raised = 0;
    if (unsignedOutput(message, "TIME_CREATED", &raised) && raised > 0) {
        // Both clocks are the same system clock; a raise "after" receipt can
        // only be a clock step and counts as no delay.
        row.latency_us = received > raised ? static_cast<int64_t>((received - raised) / 10) : 0;
        d_latencies_us.push_back(row.latency_us);
    }
    uint64_t serial = 0;
    if (unsignedOutput(message, "SerialNumber", &serial)) {
        row.serial = static_cast<int64_t>(serial);
        if (!d_have_serial) {
            d_have_serial = true;
            d_base = serial;
            d_first_serial = d_last_serial = serial;
        }
        if (serial >= d_base) {
            size_t index = static_cast<size_t>(serial - d_base);
            // A wild serial must not make the peer allocate without bound.
            if (index < (size_t{1} << 28)) {
                if (index >= d_seen.size()) {
                    d_seen.resize(index + 1, false);
                }
                if (d_seen[index]) {
                    ++d_duplicates;
                }
                d_seen[index] = true;
                d_last_serial = std::max(d_last_serial, serial);
            }
        }
        d_first_serial = std::min(d_first_serial, serial);
    }
    d_rows.push_back(row);
}

double EventLog::latencyMs(double p) const {
    if (d_latencies_us.empty()) {
        return 0;
    }
    std::vector<int64_t> sorted = d_latencies_us;
    std::sort(sorted.begin(), sorted.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return static_cast<double>(sorted[std::min(i, sorted.size() - 1)]) / 1000.0;
}

uint64_t EventLog::distinctSerials() const {
    return static_cast<uint64_t>(std::count(d_seen.begin(), d_seen.end(), true));
}

uint64_t EventLog::missingSerials() const {
    return d_seen.size() - distinctSerials();
}

bool EventLog::writeEvents(const std::string& path) const {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    for (const Row& r : d_rows) {
        std::fprintf(f, "%.6f %lld %lld\n", r.seconds, static_cast<long long>(r.serial),
                     static_cast<long long>(r.latency_us));
    }
    return std::fclose(f) == 0;
}

std::string EventLog::summaryJson(double elapsedSeconds) const {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "{\"events\":%ld,\"seconds\":%.3f,\"events_per_second\":%.2f,"
                  "\"latency_samples\":%zu,\"latency_ms_median\":%.3f,\"latency_ms_p99\":%.3f,"
                  "\"latency_ms_max\":%.3f,\"first_serial\":%llu,\"last_serial\":%llu,"
                  "\"distinct_serials\":%llu,\"missing_serials\":%llu,\"duplicate_serials\":%llu}",
                  d_events, elapsedSeconds, elapsedSeconds > 0 ? d_events / elapsedSeconds : 0.0,
                  d_latencies_us.size(), latencyMs(0.5), latencyMs(0.99), latencyMs(1.0),
                  static_cast<unsigned long long>(d_first_serial),
                  static_cast<unsigned long long>(d_last_serial),
                  static_cast<unsigned long long>(distinctSerials()),
                  static_cast<unsigned long long>(missingSerials()),
                  static_cast<unsigned long long>(d_duplicates));
    return buf;
}

}  // namespace nvrpeer
