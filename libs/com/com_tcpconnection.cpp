#include "com_tcpconnection.h"

#include <atomic>
#include <cstring>

#include "core_assert.h"
#include "core_check.h"
#include "core_smartsocket.h"
#include "core_socketerror.h"
#include "core_v2masterlogger.h"

namespace com {

int g_log_com_tcpcon = core::LOG_NORM;
int g_log_com_pload = core::LOG_NORM;
int g_log_com_nwtok = core::LOG_NORM;

void registerLogTypes() {
    auto registerOne = [](const char* name, int* number) {
        const int type = core::MasterLogger::registerType(name, "");
        if (type > 0) {
            *number = type;
        }
    };
    registerOne("COM_TCPCON", &g_log_com_tcpcon);
    registerOne("COM_PLOAD", &g_log_com_pload);
    registerOne("COM_NWTOK", &g_log_com_nwtok);
}

namespace {

// At program start, so that the kernel's "d COM_TCPCON" finds the type.
const bool s_registered = (registerLogTypes(), true);

std::atomic<int> s_serial_counter{0};
std::atomic<int> s_connect_timeout_ms{TcpConnection::k_CONNECT_TIMEOUT_MS};

const char* const k_DESCRIPTOR_TAG = "com::TcpConnection::handleDescriptor";

}  // namespace

// TcpConnectionOwner

TcpConnectionOwner::~TcpConnectionOwner() = default;

void TcpConnectionOwner::handleConnectionUp(TcpConnection*) {}

void TcpConnectionOwner::handleSendLowWater(TcpConnection* connection, int64_t queuedBytes) {
    CHECKF(false, "%p: %d bytes queued", connection, queuedBytes);
}

void TcpConnectionOwner::handleTransferStats(TcpConnection*, int64_t, int64_t) {}

// TcpConnection

void TcpConnection::setConnectTimeout(int ms) {
    s_connect_timeout_ms.store(ms);
}

int TcpConnection::connectTimeout() {
    return s_connect_timeout_ms.load();
}

TcpConnection::TcpConnection(TcpConnectionOwner* owner)
    : d_owner(owner), d_error_log_type(core::LOG_WARN) {
    (void)s_registered;
}

TcpConnection::~TcpConnection() {
    if (hasConnection()) {
        close();
    }
    d_owner = nullptr;
}

void TcpConnection::setRead(bool on) {
    if (on != d_read_registered) {
        d_read_registered = on;
        on ? addReadDescriptor(d_socket) : removeReadDescriptor(d_socket);
    }
}

void TcpConnection::setWrite(bool on) {
    if (on != d_write_registered) {
        d_write_registered = on;
        on ? addWriteDescriptor(d_socket) : removeWriteDescriptor(d_socket);
    }
}

void TcpConnection::setException(bool on) {
    if (on != d_exception_registered) {
        d_exception_registered = on;
        on ? addExceptionDescriptor(d_socket) : removeExceptionDescriptor(d_socket);
    }
}

bool TcpConnection::ownerMissing() {
    if (d_owner) {
        return false;
    }
    CHECKF_AS(d_owner_can_be_null, "d_owner_can_be_null");
    return true;
}

void TcpConnection::ownerUp() {
    if (!ownerMissing()) {
        d_owner->handleConnectionUp(this);
    }
}

void TcpConnection::connectTo(const std::string& host, int port) {
    const Endpoint endpoint(host.c_str(), 0);
    killTimer(d_error_timer);
    if (!intConnectTo(endpoint, port)) {
        d_peer_text = endpoint.text();
        restartTimer(d_error_timer, 0);
    }
}

bool TcpConnection::intConnectTo(const Endpoint& endpoint, int port) {
    const char* const tag = "com::TcpConnection::intConnectTo";
    const std::string text = endpoint.text();
    CORE_LOG(g_log_com_tcpcon, tag, "(%s,%d%s)", text, port, "");
    if (!CHECKF(!hasConnection(), "%s", text)) {
        return false;
    }
    // Everything about the target comes from a settings file: a bad target
    // is reported but never stops the process.
    std::string host;
    int targetPort = 0;
    core::GSharedBuf preamble;
    if (!CHECKF_NOSTOP(resolveEndpoint(endpoint, port, &host, &targetPort, &preamble), "%s",
                       text)) {
        return false;
    }
    uint32_t address = 0;
    if (!CHECKF_NOSTOP(core::parseIpv4(host, &address) && host != "0.0.0.0", "%s", text)) {
        return false;
    }
    core::SmartSocket created;
    if (!CHECKF_NOSTOP(created.create(SOCK_STREAM, core::SmartSocket::e_NONE),
                       "cannot create a socket for %s", text)) {
        return false;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(targetPort));
    peer.sin_addr.s_addr = address;
    if (!CHECKF_NOSTOP(targetPort > 0 && targetPort <= 65535, "port %d of %s", targetPort, text)) {
        return false;  // 'created' closes the socket
    }
    core::SmartSocket connector(created.release());
    attachSocket(connector.get(), peer);

    d_endpoint = endpoint;
    if (d_endpoint.d_port <= 0) {
        d_endpoint.d_port = port;
    }
    d_peer_text = d_endpoint.text();

    const core::SmartSocket::ConnectResult result = connector.connectTo(host.c_str(), targetPort);
    // The connection owns the socket from here on.
    const int lastError = connector.lastError();
    connector.release();
    switch (result) {
        case core::SmartSocket::e_FAILED: {
            const int error = core::GetSocketError(lastError);
            CORE_LOG(d_error_log_type, tag, "(%s) - failed with error %d:%s", d_endpoint.text(),
                     error, core::socketErrorText(error));
            close();
            return false;
        }
        case core::SmartSocket::e_IN_PROGRESS:
            restartTimer(d_connect_timer, connectTimeout());
            setWrite(true);
            setException(true);
            break;
        case core::SmartSocket::e_CONNECTED:
            restartTimer(d_connected_timer, 0);
            break;
    }
    if (!preamble.empty()) {
        sendBuffer(preamble);
    }
    return true;
}

void TcpConnection::attachSocket(SOCKET s, const sockaddr_in& peer) {
    killTimer(d_error_timer);
    if (hasConnection()) {
        close();
    }
    d_socket = s;
    d_peer_address = peer;
    d_serial = ++s_serial_counter;
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted);
    d_peer_text = dotted;
    unsigned long on = 1;
    ioctlsocket(d_socket, FIONBIO, &on);
    if (d_no_delay == NoDelay::e_REQUESTED) {
        if (!core::setSocketOption(d_socket, IPPROTO_TCP, TCP_NODELAY, 1)) {
            LOG_RATE(6, core::LOG_CRIT, "TcpConnection - failed disabling nagle on socket");
        }
        d_no_delay = NoDelay::e_APPLIED;
    }
    d_total_sent = 0;
    d_total_received = 0;
    d_stats_sent = 0;
    d_stats_received = 0;
}

bool TcpConnection::sendBuffer(const core::GSharedBuf& buffer) {
    if (!hasConnection()) {
        if (d_error_timer.isSet()) {
            return true;  // the failure report is on its way
        }
        return CHECKF(false, "no connection to send %d bytes on", buffer.size());
    }
    if (d_queue_limit > 0 && d_queued_bytes + static_cast<int64_t>(buffer.size()) > d_queue_limit) {
        return false;
    }
    // An empty buffer has nothing to write; queueing it would end the link
    // with "error in writeToSocket".
    if (buffer.empty()) {
        return true;
    }
    d_send_queue.push_back(buffer);
    d_queued_bytes += static_cast<int64_t>(buffer.size());
    setWrite(true);
    return true;
}

bool TcpConnection::readStream() {
    if (!hasConnection()) {
        if (d_error_timer.isSet()) {
            return true;
        }
        return CHECKF(false, "no connection to read from");
    }
    if (!CHECKF(d_receive_filled == 0, "%d received bytes not delivered", d_receive_filled)) {
        return false;
    }
    d_receive_target = k_READ_CHUNK;
    setRead(!d_read_paused);
    d_stream_mode = true;
    return true;
}

void TcpConnection::pauseReading(bool paused) {
    d_read_paused = paused;
    if (hasConnection() && d_stream_mode && d_receive_target != 0) {
        setRead(!paused);
    }
}

void TcpConnection::close() {
    if (hasConnection()) {
        if (kern::DescriptorManager::descriptorManager()) {
            setRead(false);
            setWrite(false);
            setException(false);
        }
        closesocket(d_socket);
    }
    d_read_registered = false;
    d_write_registered = false;
    d_exception_registered = false;
    d_serial = 0;
    killTimer(d_connect_timer);
    killTimer(d_connected_timer);
    killTimer(d_error_timer);
    killTimer(d_stats_timer);
    d_discarded_at_close = d_send_queue.size();
    d_send_queue.clear();
    d_front_offset = 0;
    d_queued_bytes = 0;
    d_receive_buffer.reset();
    d_receive_filled = 0;
    d_receive_target = 0;
    d_peer_text.clear();
    d_stats_sent = 0;
    d_stats_received = 0;
    d_socket = INVALID_SOCKET;
}

int TcpConnection::checkSocket() {
    int code = 0;
    if (!core::socketPendingError(d_socket, &code)) {
        // Read before logging: writing the log line may change it.
        const int error = WSAGetLastError();
        LOG_CRIT("com::TcpConnection::checkSocket", "(%d) - failed running getsockopt", d_socket);
        return error;
    }
    return code;
}

void TcpConnection::reportError(int error, const char* reason) {
    const std::string why = reason ? reason : error <= 0 ? "unknown" : core::socketErrorText(error);
    const std::string peer = d_peer_text;
    close();
    if (!ownerMissing()) {
        d_owner->handleConnectionDown(this, peer, error, why);
    }
}

void TcpConnection::handleDescriptor(SOCKET fd, int type) {
    if (!CHECKF(fd == d_socket, "%p,%d!=%d,%d", this, fd, d_socket, type)) {
        switch (type) {
            case kern::e_READ_SET:
                removeReadDescriptor(fd);
                break;
            case kern::e_WRITE_SET:
                removeWriteDescriptor(fd);
                break;
            case kern::e_EXCEPTION_SET:
                removeExceptionDescriptor(fd);
                break;
            default:
                break;
        }
        return;
    }
    if (d_connect_timer.isSet()) {
        killTimer(d_connect_timer);
        const int pending = checkSocket();
        if (pending != 0 || type == kern::e_EXCEPTION_SET) {
            reportError(pending != 0 ? core::GetSocketError(pending) : 0);
            return;
        }
        const int serial = d_serial;
        ownerUp();
        if (d_serial != serial) {
            core::MasterLogger::logAt(core::LOG_WARN, CORE_FILE_STEM, __LINE__, k_DESCRIPTOR_TAG,
                                      {});
            return;
        }
        setException(false);
        if (d_send_queue.empty()) {
            setWrite(false);
            return;
        }
        type = kern::e_WRITE_SET;
    }
    switch (type) {
        case kern::e_READ_SET:
            readStep();
            break;
        case kern::e_WRITE_SET:
            writeToSocket();
            break;
        case kern::e_EXCEPTION_SET: {
            // Urgent data or an error from the peer: outside data.
            const int pending = checkSocket();
            CHECKF_NOSTOP(false, "exception on %s (%d)", d_peer_text, pending);
            reportError(core::GetSocketError(pending));
            break;
        }
        default:
            CHECKF(false, "type %d", type);
            break;
    }
}

void TcpConnection::readStep() {
    const int wanted = d_receive_target - d_receive_filled;
    if (wanted <= 0) {
        CHECKF_AS(wanted == 0, "bytes_to_read == 0");
        setRead(false);
        return;
    }
    if (static_cast<int>(d_receive_buffer.size()) < d_receive_target) {
        d_receive_buffer = core::GSharedBuf(static_cast<size_t>(k_READ_CHUNK));
    }
    char* into = d_receive_buffer.mutableData() + d_receive_filled;
    int n = core::recvSocket(d_socket, into, wanted);
    int error = n < 0 ? core::GetSocketError(WSAGetLastError()) : 0;
    if (n < 0 && error == core::k_SOCKERR_WOULD_BLOCK) {
        n = core::recvSocket(d_socket, into, wanted);
        error = n < 0 ? core::GetSocketError(WSAGetLastError()) : 0;
    }
    if (n == 0) {
        reportError(0, "closed");
        return;
    }
    if (n < 0) {
        if (error != core::k_SOCKERR_WOULD_BLOCK) {
            reportError(error);
        }
        return;
    }
    d_receive_filled += n;
    d_total_received += n;
    d_stats_received += n;
    if (d_stream_mode) {
        d_receive_target = d_receive_filled;
    }
    if (d_receive_filled != d_receive_target) {
        return;
    }
    // Hand the bytes over.  A full chunk gives away the whole block; a short
    // one is copied so that the block is reused and a one-byte read does not
    // pin 4096 bytes in the owner.
    core::GSharedBuf delivered;
    if (d_receive_filled == static_cast<int>(d_receive_buffer.size())) {
        delivered = d_receive_buffer;
        d_receive_buffer.reset();
    } else {
        delivered = core::GSharedBuf::copyOf(d_receive_buffer.data(),
                                             static_cast<size_t>(d_receive_filled));
    }
    d_receive_filled = 0;
    d_receive_target = 0;
    const int serial = d_serial;
    if (!ownerMissing()) {
        d_owner->handleReceivedData(this, delivered);
    }
    if (d_serial != serial || d_receive_target != 0) {
        return;
    }
    if (d_stream_mode) {
        readStream();
    } else {
        setRead(false);
    }
}

void TcpConnection::writeToSocket() {
    if (d_send_queue.empty()) {
        core::MasterLogger::logAt(core::LOG_WARN, CORE_FILE_STEM, __LINE__,
                                  "com::TcpConnection::writeToSocket", {});
        setWrite(false);
        return;
    }
    const core::GSharedBuf& front = d_send_queue.front();
    const int64_t remaining = static_cast<int64_t>(front.size()) - d_front_offset;
    if (remaining <= 0) {
        CHECKF(false, "%d bytes remaining", remaining);
        reportError(0, "error in writeToSocket");
        return;
    }
    const int chunk = remaining > INT32_MAX ? INT32_MAX : static_cast<int>(remaining);
    const int sent = core::sendSocket(d_socket, front.data() + d_front_offset, chunk);
    if (sent < 1) {
        const int error = core::GetSocketError(WSAGetLastError());
        const int pending = checkSocket();
        if (error != core::k_SOCKERR_WOULD_BLOCK) {
            reportError(error);
        } else if (pending != 0) {
            reportError(core::GetSocketError(pending));
        }
        return;
    }
    d_total_sent += sent;
    d_stats_sent += sent;
    d_front_offset += sent;
    d_queued_bytes -= sent;
    if (d_front_offset >= static_cast<int64_t>(front.size())) {
        d_send_queue.pop_front();
        d_front_offset = 0;
    }
    if (d_low_water > 0 && d_queued_bytes <= d_low_water && d_queued_bytes + sent > d_low_water &&
        !ownerMissing()) {
        const int serial = d_serial;
        d_owner->handleSendLowWater(this, d_queued_bytes);
        if (d_serial != serial) {
            return;
        }
    }
    if (d_queued_bytes > 0) {
        return;  // the write registration stays
    }
    setWrite(false);
    if (!ownerMissing()) {
        d_owner->handleSendQueueEmpty(this);
    }
}

bool TcpConnection::handleTimeout(int64_t id) {
    if (d_connect_timer == id) {
        checkSocket();
        killTimer(d_connect_timer);
        reportError(0, "timeout");
    } else if (d_connected_timer == id) {
        killTimer(d_connected_timer);
        ownerUp();
    } else if (d_error_timer == id) {
        const std::string peer = d_peer_text;
        close();
        if (!ownerMissing()) {
            d_owner->handleConnectionDown(this, peer, 0, "connect failed");
        }
    } else if (d_stats_timer == id) {
        restartTimer(d_stats_timer, d_stats_timer.period());
        const int64_t sent = d_stats_sent;
        const int64_t received = d_stats_received;
        d_stats_sent = 0;
        d_stats_received = 0;
        if (!ownerMissing()) {
            d_owner->handleTransferStats(this, sent, received);
        }
    } else {
        return false;
    }
    return true;
}

}  // namespace com
