// core_smartsocket.h                                              -*-C++-*-
//
// 'SmartSocket' owns one IPv4 socket handle and closes it when destroyed or
// given another; it creates, configures and connects it.  'parseIpv4' reads
// dotted IPv4 text.
//
// Thread safety: a 'SmartSocket' belongs to one thread (the kernel's).
#ifndef INCLUDED_CORE_SMARTSOCKET
#define INCLUDED_CORE_SMARTSOCKET

#include <cstdint>
#include <string_view>

#include "platform/core_winsock.h"

namespace core {

// Reads "a.b.c.d" (exactly four decimal parts, each 0..255) into '*address'
// in network byte order.  False for anything else.
bool parseIpv4(std::string_view text, uint32_t* address);

class SmartSocket {
  public:
    // Flags of 'create'.
    enum Flags { e_NONE = 0, e_NON_BLOCKING = 1, e_REUSE_ADDR = 2 };
    // Outcomes of 'connectTo'.
    enum ConnectResult { e_FAILED = 0, e_CONNECTED = 1, e_IN_PROGRESS = 2 };

    // CREATORS
    SmartSocket() = default;
    explicit SmartSocket(SOCKET s) : d_socket(s) {}
    ~SmartSocket() { close(); }
    SmartSocket(const SmartSocket&) = delete;
    SmartSocket& operator=(const SmartSocket&) = delete;

    // MANIPULATORS
    // Closes the current socket and opens an AF_INET socket of 'type'
    // (SOCK_STREAM, SOCK_DGRAM) with 'flags'.  False, with a WARN line, when
    // the socket cannot be opened or configured.
    bool create(int type, int flags);
    // Makes the socket non-blocking; a missing socket is a failed check.
    bool setNonBlocking();
    // Sets SO_REUSEADDR; a missing socket is a failed check.
    bool setReuseAddr();
    // Starts connecting to 'host' (dotted IPv4) and 'port'.  After a failed
    // 'connect' the Winsock code is kept in 'lastError'.
    ConnectResult connectTo(const char* host, int port);
    // Takes 's' over, closing the current socket.
    void reset(SOCKET s = INVALID_SOCKET);
    // Hands the socket over to the caller; this object becomes empty.
    SOCKET release();
    void close();

    // ACCESSORS
    SOCKET get() const { return d_socket; }
    bool isValid() const { return d_socket != INVALID_SOCKET; }
    // The Winsock code of the last failed 'connect' (0 before any).
    int lastError() const { return d_last_error; }

  private:
    SOCKET d_socket = INVALID_SOCKET;
    int d_last_error = 0;
};

}  // namespace core

#endif
