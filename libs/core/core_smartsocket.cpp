#include "core_smartsocket.h"

#include <charconv>

#include "core_assert.h"
#include "core_v2masterlogger.h"

namespace core {

bool parseIpv4(std::string_view text, uint32_t* address) {
    uint32_t host = 0;
    int parts = 0;
    size_t pos = 0;
    while (true) {
        const size_t dot = text.find('.', pos);
        const std::string_view part =
            text.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        if (part.empty() || ++parts > 4) {
            return false;
        }
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (ec != std::errc() || end != part.data() + part.size() || value > 255) {
            return false;
        }
        host = (host << 8) | value;
        if (dot == std::string_view::npos) {
            break;
        }
        pos = dot + 1;
    }
    if (parts != 4) {
        return false;
    }
    *address = htonl(host);
    return true;
}

bool SmartSocket::create(int type, int flags) {
    close();
    d_socket = openSocket(type);
    if (d_socket == INVALID_SOCKET) {
        LOG_WARN("core::SmartSocket::create", "(%d,%d,%d) - failed to open socket", 2, type, 0);
        return false;
    }
    if (flags == e_REUSE_ADDR) {
        if (!setReuseAddr()) {
            MasterLogger::logAt(LOG_WARN, CORE_FILE_STEM, __LINE__, "core::SmartSocket::create",
                                {});
            close();
            return false;
        }
    } else if (flags == e_NON_BLOCKING) {
        setNonBlocking();
    }
    return true;
}

bool SmartSocket::setNonBlocking() {
    if (!CHECKF(isValid(), "no socket")) {
        return false;
    }
    unsigned long on = 1;
    ioctlsocket(d_socket, FIONBIO, &on);
    return true;
}

bool SmartSocket::setReuseAddr() {
    if (!CHECKF(isValid(), "no socket")) {
        return false;
    }
    if (!setSocketOption(d_socket, SOL_SOCKET, SO_REUSEADDR, 1)) {
        LOG_WARN("core::SmartSocket::setReuseAddr", "failed to set REUSEADDR");
        return false;
    }
    return true;
}

SmartSocket::ConnectResult SmartSocket::connectTo(const char* host, int port) {
    if (!CHECKF(isValid(), "no socket") || !CHECKF(port >= 0, "port=%d", port)) {
        return e_FAILED;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    uint32_t parsed = 0;
    if (!host || !parseIpv4(host, &parsed)) {
        LOG_WARN("core::SmartSocket::connectTo", "invalid addr '%s'", host);
        return e_FAILED;
    }
    address.sin_addr.s_addr = parsed;
    if (::connect(d_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return e_CONNECTED;
    }
    d_last_error = WSAGetLastError();
    return d_last_error == WSAEINPROGRESS || d_last_error == WSAEWOULDBLOCK ? e_IN_PROGRESS
                                                                            : e_FAILED;
}

void SmartSocket::reset(SOCKET s) {
    if (d_socket != INVALID_SOCKET && d_socket != s) {
        closesocket(d_socket);
    }
    d_socket = s;
}

SOCKET SmartSocket::release() {
    const SOCKET s = d_socket;
    d_socket = INVALID_SOCKET;
    return s;
}

void SmartSocket::close() {
    reset(INVALID_SOCKET);
}

}  // namespace core
