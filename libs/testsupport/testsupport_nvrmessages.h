// testsupport_nvrmessages.h                                       -*-C++-*-
//
// Test helpers: requests as the NVR writes them, the frame around a payload,
// look-ups in a reply, and readable failure output of messages.
//
// Thread safety: functions of values.
#ifndef INCLUDED_TESTSUPPORT_NVRMESSAGES
#define INCLUDED_TESTSUPPORT_NVRMESSAGES

#include <ostream>
#include <string>
#include <vector>

#include "lnl_message.h"

namespace testutil {

// Requests as the NVR writes them.
Message statusRequest();
Message namespaceRequest(const std::string& path);
Message subscribeRequest(const std::string& className, std::vector<Parameter> wanted = {});
Message lookupRequest(const std::string& className, std::vector<Parameter> conditions,
                      std::vector<Parameter> wanted);
Message executeRequest(const std::string& className, const std::string& method,
                       std::vector<Parameter> arguments, std::vector<Parameter> wanted,
                       const std::string& target = "");

// 'payload' in a frame as it travels: STX, five decimal digits of length,
// ETX, the payload.
std::string frameOf(const std::string& payload);

// The parameter 'name' of 'message''s output list (null when absent).
const Parameter* outParam(const Message& message, const std::string& name);
// The value of the output parameter 'name' of 'message' ("" when absent).
std::string valueOf(const Message& message, const std::string& name);

}  // namespace testutil

// Readable failure output of the test framework.
void PrintTo(const Message& message, std::ostream* out);
void PrintTo(const Parameter& parameter, std::ostream* out);

#endif
