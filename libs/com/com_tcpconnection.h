// com_tcpconnection.h                                             -*-C++-*-
//
// 'TcpConnection': an outgoing TCP link driven entirely by the kernel loop.
// It connects asynchronously with a time-out, queues outgoing buffers and
// writes them when the socket is writable (one 'send' per write event),
// delivers received bytes in chunks of at most 4096 bytes, and reports every
// way the link can end through one owner callback, always after the socket
// has been closed.  A connect never reports synchronously: success and
// failure both arrive as callbacks from the loop.
//
// Its owner implements 'TcpConnectionOwner'.  The log types COM_TCPCON,
// COM_PLOAD and COM_NWTOK are registered at program start (the kernel option
// "d COM_TCPCON" shows the connect lines).
//
// Thread safety: kernel thread only.
#ifndef INCLUDED_COM_TCPCONNECTION
#define INCLUDED_COM_TCPCONNECTION

#include <cstdint>
#include <deque>
#include <string>

#include "comif_legacytypes.h"
#include "core_gsharedbuf.h"
#include "kern_descriptors.h"
#include "kern_timers.h"
#include "platform/core_winsock.h"

namespace com {

// Numbers of the connection's log types (NORM's until registered).
extern int g_log_com_tcpcon;
extern int g_log_com_pload;
extern int g_log_com_nwtok;
// Registers the three types with the logger; runs at program start and may
// be called again (answers the same numbers).
void registerLogTypes();

class TcpConnection;

class TcpConnectionOwner {
  public:
    virtual ~TcpConnectionOwner();

    // The link is up (default: nothing).
    virtual void handleConnectionUp(TcpConnection* connection);
    // The link is closed: 'peer' is the endpoint text, 'reason' the text of
    // 'error' or one of "connect failed", "timeout", "closed",
    // "error in writeToSocket", "unknown".
    virtual void handleConnectionDown(TcpConnection* connection, const std::string& peer, int error,
                                      const std::string& reason) = 0;
    // Received bytes, 1 to 4096 of them, exactly as they arrived.
    virtual void handleReceivedData(TcpConnection* connection, const core::GSharedBuf& data) = 0;
    // Everything queued has been written.
    virtual void handleSendQueueEmpty(TcpConnection* connection) = 0;
    // The queued bytes fell to the low-water mark (armed by 'setLowWater';
    // the default is a failed check).
    virtual void handleSendLowWater(TcpConnection* connection, int64_t queuedBytes);
    // Bytes moved since the last call (never armed here; default: nothing).
    virtual void handleTransferStats(TcpConnection* connection, int64_t sent, int64_t received);
};

class TcpConnection : public kern::DescriptorInterface, public kern::TimerInterface {
  public:
    static constexpr int k_CONNECT_TIMEOUT_MS = 20000;
    static constexpr int k_READ_CHUNK = 4096;

    // The connect time-out of connections that start connecting afterwards
    // (20000 ms unless changed).
    static void setConnectTimeout(int ms);
    static int connectTimeout();

    // CREATORS
    explicit TcpConnection(TcpConnectionOwner* owner);
    // Closes an open socket; the owner is not called.
    ~TcpConnection() override;

    // MANIPULATORS
    // Starts connecting to 'host' (dotted IPv4) and 'port'; the outcome
    // arrives through the owner.
    void connectTo(const std::string& host, int port);
    // Queues 'buffer' for sending.  False when there is no socket (unless a
    // failure report is pending: then the buffer is dropped and true is
    // answered) or when a positive queue limit would be exceeded.
    bool sendBuffer(const core::GSharedBuf& buffer);
    // Starts delivering received data in chunks.
    bool readStream();
    // While paused, received bytes stay in the socket (the peer waits in TCP
    // flow control); resuming takes up the stream again.  Writing goes on.
    void pauseReading(bool paused);
    // Unregisters, closes the socket, kills the timers, drops the queue.  The
    // owner is not called.
    void close();

    void setOwnerCanBeNull(bool canBeNull) { d_owner_can_be_null = canBeNull; }
    void setErrorLogType(int type) { d_error_log_type = type; }
    // 0 or less: unlimited.
    void setQueueLimit(int64_t bytes) { d_queue_limit = bytes; }
    // The owner hears 'handleSendLowWater' when the queued bytes fall to
    // 'bytes' (0 or less: never).
    void setLowWater(int64_t bytes) { d_low_water = bytes; }
    // Disables Nagle's algorithm on the next socket.
    void requestNoDelay() { d_no_delay = NoDelay::e_REQUESTED; }

    // ACCESSORS
    bool hasConnection() const { return d_socket != INVALID_SOCKET; }
    int64_t queuedBytes() const { return d_queued_bytes; }
    SOCKET socket() const { return d_socket; }
    int serial() const { return d_serial; }
    const Endpoint& endpoint() const { return d_endpoint; }
    const std::string& peerText() const { return d_peer_text; }
    bool isConnecting() const { return d_connect_timer.isSet(); }
    int64_t totalSent() const { return d_total_sent; }
    int64_t totalReceived() const { return d_total_received; }
    size_t numQueuedBuffers() const { return d_send_queue.size(); }
    // Buffers not (or not completely) written when the connection was last
    // closed; they are gone with it.
    size_t numDiscardedAtClose() const { return d_discarded_at_close; }

    // kern::DescriptorInterface
    void handleDescriptor(SOCKET fd, int type) override;
    // kern::TimerInterface
    bool handleTimeout(int64_t id) override;

  private:
    // Whether Nagle's algorithm is disabled on the next socket.
    enum class NoDelay : uint8_t { e_LEAVE_ALONE, e_REQUESTED, e_APPLIED };

    // The tests reach the two steps below directly.
    friend struct TcpConnectionTestAccess;

    // The connect itself; false when it failed before reaching the network.
    bool intConnectTo(const Endpoint& endpoint, int port);
    // The socket's pending error as a Winsock code.
    int checkSocket();
    void attachSocket(SOCKET s, const sockaddr_in& peer);
    void readStep();
    void writeToSocket();
    void reportError(int error, const char* reason = nullptr);
    void ownerUp();
    bool ownerMissing();
    void setRead(bool on);
    void setWrite(bool on);
    void setException(bool on);

    TcpConnectionOwner* d_owner;
    int d_error_log_type;
    Endpoint d_endpoint;
    SOCKET d_socket = INVALID_SOCKET;
    sockaddr_in d_peer_address{};
    int d_serial = 0;
    kern::TimerId d_connect_timer;
    kern::TimerId d_connected_timer;
    kern::TimerId d_error_timer;
    kern::TimerId d_stats_timer;
    std::deque<core::GSharedBuf> d_send_queue;
    int64_t d_front_offset = 0;
    int64_t d_queued_bytes = 0;
    size_t d_discarded_at_close = 0;
    int64_t d_queue_limit = -1;
    int64_t d_low_water = 0;
    core::GSharedBuf d_receive_buffer;
    int d_receive_target = 0;
    int d_receive_filled = 0;
    bool d_stream_mode = false;
    bool d_read_paused = false;
    NoDelay d_no_delay = NoDelay::e_LEAVE_ALONE;
    bool d_write_registered = false;
    bool d_read_registered = false;
    bool d_exception_registered = false;
    std::string d_peer_text;
    bool d_owner_can_be_null = false;
    int64_t d_total_sent = 0;
    int64_t d_total_received = 0;
    int64_t d_stats_sent = 0;
    int64_t d_stats_received = 0;
};

}  // namespace com

#endif
