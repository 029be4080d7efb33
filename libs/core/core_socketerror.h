// core_socketerror.h                                              -*-C++-*-
//
// The program's own socket error numbers.  'GetSocketError' maps a Winsock
// code (what 'WSAGetLastError' answers) to the number the program reports to
// connection owners and in log lines; 'socketErrorText' gives the reason text
// of such a number.  The numbers and their texts are the same on every
// platform.
//
// Thread safety: any thread.
#ifndef INCLUDED_CORE_SOCKETERROR
#define INCLUDED_CORE_SOCKETERROR

namespace core {

// Program error numbers.
enum SocketErrorNumber : int {
    k_SOCKERR_NONE = 0,
    k_SOCKERR_FAULT = 14,
    k_SOCKERR_IN_PROGRESS = 112,
    k_SOCKERR_CONN_REFUSED = 107,
    k_SOCKERR_WOULD_BLOCK = 140
};

// The program number for 'winsockCode'; an unknown code logs WARN
// "unhandled Winsock error %d" and answers 14.
int GetSocketError(int winsockCode);

// The reason text of a program error number ("Connection refused" for 107),
// "Unknown error %d" for a number without one.
const char* socketErrorText(int number);

}  // namespace core

#endif
