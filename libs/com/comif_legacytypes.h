// comif_legacytypes.h                                             -*-C++-*-
//
// 'Endpoint': a connect target (dotted IPv4 host text of at most 19 bytes and
// a port) with its text form, the bounded copy of host texts, and the
// resolution of an endpoint into the host and port to connect to.
//
// Thread safety: value types and pure functions; any thread.
#ifndef INCLUDED_COMIF_LEGACYTYPES
#define INCLUDED_COMIF_LEGACYTYPES

#include <string>

#include "core_gsharedbuf.h"

namespace com {

// Copies the text 'source' into 'dest' (of 'limit' bytes) up to its first
// NUL, filling the rest with NULs.  A source that fills all 'limit' bytes is
// reported (never stopping: host texts come from settings files) and cut to
// 'limit' - 1 bytes without splitting a UTF-8 character.  Answers false when
// it had to cut.
bool copyHostBounded(char* dest, const char* source, int limit);

struct Endpoint {
    static constexpr int k_HOST_SIZE = 20;

    char d_host[k_HOST_SIZE] = {};
    int d_port = 0;       // 0 or less: the default port given with the request
    int d_num_steps = 0;  // relay steps; none are ever filled in

    Endpoint() = default;
    Endpoint(const char* host, int port);

    // The host, followed by ":%d" with the port when the port is positive.
    std::string text() const;
};

// The host and port to connect to for 'endpoint' and an optional preamble
// to send first.  The port is the endpoint's when positive, else
// 'defaultPort', which must then be positive (a failed check naming the
// endpoint, never stopping).  False when there is no usable port.
bool resolveEndpoint(const Endpoint& endpoint, int defaultPort, std::string* host, int* port,
                     core::GSharedBuf* preamble);

}  // namespace com

#endif
