// client_droplog.h                                                -*-C++-*-
//
// 'DropLog': the serial numbers of the events lost at one site of the
// Client, for the log, so that every gap an NVR sees in the serials can be
// tied to its cause.  Consecutive serials are coalesced into ranges; the
// ranges collected since the last flush go out as one line:
//
//   <tag> - dropped <n> events with serials <a>-<b>, <c>-<d> (<cause>)
//
// A site therefore writes at most one line per flush however many events it
// loses (the Client flushes at every link lost and at each stop check).
// Beyond k_MAX_RANGES ranges the last one stretches over the rest, gaps
// included; <n> stays exact.  Events without a serial are counted in a line
// of their own ("dropped <n> events without a serial (<cause>)").
//
// Thread safety: none; the owner guards each instance.
#ifndef INCLUDED_CLIENT_DROPLOG
#define INCLUDED_CLIENT_DROPLOG

#include <cstdint>
#include <vector>

#include "lnl_message.h"

class DropLog {
  public:
    static constexpr size_t k_MAX_RANGES = 16;

    // 'tag' and 'cause' must outlive the object (literals).
    DropLog(const char* tag, const char* cause) : d_tag(tag), d_cause(cause) {}

    // The event's serial: its "SerialNumber" output value, when that is a
    // decimal number.
    static bool serialOf(const Message& event, uint64_t* serial);

    // Notes one lost event (messages other than events are not noted).
    void add(const Message& message);
    void addSerial(uint64_t serial);
    void addUnnumbered() { ++d_unnumbered; }
    // Writes what was noted since the last flush (WARN), then forgets it.
    void flush();
    bool empty() const { return d_ranges.empty() && d_unnumbered == 0; }

  private:
    struct Range {
        uint64_t first;
        uint64_t last;
    };
    const char* d_tag;
    const char* d_cause;
    std::vector<Range> d_ranges;
    uint64_t d_numbered = 0;
    uint64_t d_unnumbered = 0;
};

#endif
