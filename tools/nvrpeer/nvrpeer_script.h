// nvrpeer_script.h                                                -*-C++-*-
//
// The request language of the NVR peer: one request per line.
//
//   namespace <path>                          connect a WMI namespace (action 4)
//   status                                    ask for status (action 5)
//   subscribe <Class> [prop[:type] ...]       subscribe to an event class (action 3)
//   lookup <Class> [name=value ...] [-- prop[:type] ...]
//                                             look up instances (action 1)
//   execute <Class> <Method> [@<instance path>] [name:type=value ...]
//                                             execute a method (action 2)
//   sleep <ms>                                pause before the next line
//   raw <text>                                send <text> as a frame payload
//
// Empty lines and lines starting with '#' are skipped.
#ifndef INCLUDED_NVRPEER_SCRIPT
#define INCLUDED_NVRPEER_SCRIPT

#include <string>
#include <vector>

#include "lnl_message.h"

namespace nvrpeer {

struct Step {
    enum Kind { e_MESSAGE, e_SLEEP, e_RAW };
    Kind kind = e_MESSAGE;
    Message message;   // e_MESSAGE
    int sleep_ms = 0;  // e_SLEEP
    std::string raw;   // e_RAW
    std::string line;  // the source text, for messages
};

// Parses one line into 'step'.  Answers false with 'error' set for a line that
// is not a request; 'skip' is set for empty and comment lines.
bool parseLine(const std::string& line, Step* step, bool* skip, std::string* error);

// Parses a whole script; 'error' names the line number of the first error.
bool parseScript(const std::string& text, std::vector<Step>* steps, std::string* error);

}  // namespace nvrpeer

#endif
