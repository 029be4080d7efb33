// winsock_init.h                                                  -*-C++-*-
//
// Socket library start-up of the service process.  Version 2.2 is requested
// before 'main' runs; an exit handler cleans up at process exit unless the
// service mode disallowed it.  On Linux there is nothing to start: the
// start-up only makes sure a closed peer never kills the process (SIGPIPE).
#ifndef INCLUDED_WINSOCK_INIT
#define INCLUDED_WINSOCK_INIT

namespace winsock {

// Whether the start-up succeeded.
bool started();

// No clean-up at exit (the service mode clears this first thing).
void disallowCleanup();

}  // namespace winsock

#endif
