// nvrpeer_events.h                                                -*-C++-*-
//
// What the NVR peer measures on the events it receives: the delay from the
// moment WMI raised an event (its TIME_CREATED property, a FILETIME stamped by
// the provider) to its receipt here, and which serial numbers arrived (the
// SerialNumber property), so that a run can tell how many events were lost.
// Both properties reach the peer only when its subscription asks for them.
#ifndef INCLUDED_NVRPEER_EVENTS
#define INCLUDED_NVRPEER_EVENTS

#include <cstdint>
#include <string>
#include <vector>

#include "lnl_message.h"

namespace nvrpeer {

// 100-ns intervals since 1601-01-01 UTC of the system clock now.
uint64_t fileTimeNow();

class EventLog {
  public:
    // Records one received message; only events (action 3) count.  'received'
    // is the receipt time as a FILETIME, 'seconds' the time since the start.
    void add(const Message& message, uint64_t received, double seconds);

    long events() const { return d_events; }
    // Raise-to-receipt delays in microseconds, in arrival order.
    const std::vector<int64_t>& latencies() const { return d_latencies_us; }
    // The 'p'-quantile (0..1) of the delays in milliseconds; 0 without any.
    double latencyMs(double p) const;
    // Distinct serial numbers received, the lowest and highest of them, and
    // how many between those two never arrived.
    uint64_t distinctSerials() const;
    uint64_t firstSerial() const { return d_first_serial; }
    uint64_t lastSerial() const { return d_last_serial; }
    uint64_t missingSerials() const;
    // Serials received more than once.
    uint64_t duplicateSerials() const { return d_duplicates; }

    // One line per event: seconds since start, serial (or -1), delay in
    // microseconds (or -1).
    bool writeEvents(const std::string& path) const;
    // A JSON object with the counts and quantiles above.
    std::string summaryJson(double elapsedSeconds) const;

  private:
    struct Row {
        double seconds;
        int64_t serial;
        int64_t latency_us;
    };
    long d_events = 0;
    std::vector<int64_t> d_latencies_us;
    std::vector<bool> d_seen;  // index: serial - d_base
    uint64_t d_base = 0;
    bool d_have_serial = false;
    uint64_t d_first_serial = 0;
    uint64_t d_last_serial = 0;
    uint64_t d_duplicates = 0;
    std::vector<Row> d_rows;
};

}  // namespace nvrpeer

#endif
