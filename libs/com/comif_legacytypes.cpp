#include "comif_legacytypes.h"

#include <cstring>

#include "core_assert.h"
#include "core_check.h"
#include "core_varargs.h"

namespace com {

namespace {

// Bytes a UTF-8 sequence announces by its lead byte (1 for anything else).
int sequenceLength(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    if ((lead & 0xF8) == 0xF0) {
        return 4;
    }
    return 1;
}

}  // namespace

bool copyHostBounded(char* dest, const char* source, int limit) {
    if (limit <= 0) {
        return false;
    }
    int length = 0;
    while (source && length < limit && source[length] != '\0') {
        ++length;
    }
    if (length < limit) {
        std::memcpy(dest, source, static_cast<size_t>(length));
        std::memset(dest + length, 0, static_cast<size_t>(limit - length));
        return true;
    }
    CHECKF_NOSTOP(false, "%d '%100S'", limit, std::string(source, strnlen(source, 1000)));
    length = limit - 1;
    // Drop a last character whose sequence the cut has left incomplete.
    int start = length;
    while (start > 0 && (static_cast<unsigned char>(source[start - 1]) & 0xC0) == 0x80) {
        --start;
    }
    if (start > 0) {
        const int lead = start - 1;
        if (sequenceLength(static_cast<unsigned char>(source[lead])) > length - lead) {
            length = lead;
        }
    } else {
        length = 0;  // nothing but continuation bytes
    }
    std::memcpy(dest, source, static_cast<size_t>(length));
    std::memset(dest + length, 0, static_cast<size_t>(limit - length));
    return false;
}

Endpoint::Endpoint(const char* host, int port) : d_port(port) {
    copyHostBounded(d_host, host ? host : "", k_HOST_SIZE);
}

std::string Endpoint::text() const {
    std::string out(d_host, strnlen(d_host, k_HOST_SIZE));
    if (d_port > 0) {
        core::strAppendFormat(out, ":%d", d_port);
    }
    return out;
}

bool resolveEndpoint(const Endpoint& endpoint, int defaultPort, std::string* host, int* port,
                     core::GSharedBuf* preamble) {
    int default_port = defaultPort;
    if (endpoint.d_port > 0) {
        *port = endpoint.d_port;
    } else if (CHECKF_AS_NOSTOP(default_port > 0, "default_port > 0", "%s", endpoint.text())) {
        *port = default_port;
    } else {
        return false;
    }
    *host = std::string(endpoint.d_host, strnlen(endpoint.d_host, Endpoint::k_HOST_SIZE));
    *preamble = core::GSharedBuf();
    return true;
}

}  // namespace com
