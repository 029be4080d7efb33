#include "core_socketerror.h"

#include <string>

#include "core_v2masterlogger.h"

namespace core {

namespace {

struct Row {
    int d_winsock;
    int d_number;
    const char* d_text;
};

// Winsock code, program number, the text of its meaning.
constexpr Row k_TABLE[] = {
    {0, 0, "Success"},
    {10004, 4, "Interrupted system call"},
    {10009, 9, "Bad file descriptor"},
    {10013, 13, "Permission denied"},
    {10014, 14, "Bad address"},
    {10022, 22, "Invalid argument"},
    {10024, 24, "Too many open files"},
    {10035, 140, "Resource temporarily unavailable"},
    {10036, 112, "Operation now in progress"},
    {10037, 103, "Operation already in progress"},
    {10038, 128, "Socket operation on non-socket"},
    {10039, 109, "Destination address required"},
    {10040, 115, "Message too long"},
    {10041, 136, "Protocol wrong type for socket"},
    {10042, 123, "Protocol not available"},
    {10043, 135, "Protocol not supported"},
    {10045, 130, "Operation not supported"},
    {10047, 102, "Address family not supported by protocol"},
    {10048, 100, "Address already in use"},
    {10049, 101, "Cannot assign requested address"},
    {10050, 116, "Network is down"},
    {10051, 118, "Network is unreachable"},
    {10052, 117, "Network dropped connection on reset"},
    {10053, 106, "Software caused connection abort"},
    {10054, 108, "Connection reset by peer"},
    {10055, 119, "No buffer space available"},
    {10056, 113, "Transport endpoint is already connected"},
    {10057, 126, "Transport endpoint is not connected"},
    {10060, 138, "Connection timed out"},
    {10061, 107, "Connection refused"},
    {10062, 114, "Too many levels of symbolic links"},
    {10063, 38, "File name too long"},
    {10065, 110, "No route to host"},
    {10066, 41, "Directory not empty"},
};

}  // namespace

int GetSocketError(int winsockCode) {
    for (const Row& row : k_TABLE) {
        if (row.d_winsock == winsockCode) {
            return row.d_number;
        }
    }
    LOG_WARN("core::GetSocketError", "unhandled Winsock error %d", winsockCode);
    return k_SOCKERR_FAULT;
}

const char* socketErrorText(int number) {
    for (const Row& row : k_TABLE) {
        if (row.d_number == number) {
            return row.d_text;
        }
    }
    // One buffer per thread keeps the answer valid until the thread's next
    // call, like the C library's own.
    thread_local std::string unknown;
    unknown = "Unknown error " + std::to_string(number);
    return unknown.c_str();
}

}  // namespace core
