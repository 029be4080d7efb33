// wmi_mof.h                                                        -*-C++-*-
//
// The loader of the stand-in's repository files, written in a subset of MOF:
//
//   #pragma namespace("\\\\.\\root\\AccessControl")
//   [SubscribeError(0x80041003), LatencyMs(20)]
//   class Sample_Door : Sample_Device {
//       [key] string Name;  uint8 Photo[];  boolean Open = false;
//       [ExecError(0x80041001)] uint32 Unlock([in] uint32 Seconds, [in, out] string Note);
//   };
//   instance of Sample_Door { Name = "North \"A\""; Photo = {0x89, 80, 78}; };
//
// Comments (// and /* */), string escapes (\\ \" \' \n \t \r \xHHHH),
// adjacent strings concatenated, integers in decimal or 0x hex, reals,
// true/false/NULL, arrays in braces.  Unknown qualifiers and pragmas other
// than 'namespace' are accepted and ignored.  A file is taken as a whole or
// refused with the line and column of its first error.
//
// Thread safety: all functions are reentrant.
#ifndef INCLUDED_WMI_MOF
#define INCLUDED_WMI_MOF

#include "wmi_repository.h"

#include <string>
#include <string_view>
#include <vector>

namespace wmi::standin {

struct MofError {
    int d_line = 0;    // 1-based
    int d_column = 0;  // 1-based, in bytes
    std::string d_message;

    // "line L, column C: message", or the message alone when there is no
    // place (line 0).
    std::string text() const;
};

// The namespace of instances that follow no pragma.
inline constexpr const char* k_DEFAULT_NAMESPACE = "root\\default";

// Parses a repository file.  On success 'out' holds its namespaces, classes
// and instances (every namespace also gets the system classes __Event and
// __ExtrinsicEvent); on failure 'out' is left unchanged and 'error' says why.
bool parseRepository(std::string_view text, Repository* out, MofError* error);

// One group of raised instances: those of one namespace.
struct EventBatch {
    std::string d_namespace;
    std::vector<std::shared_ptr<const Instance>> d_instances;
};

// Parses an event file: 'instance of' blocks (and pragmas) of classes known to
// 'repository'; a file without a namespace pragma uses the repository's first
// namespace.  Class declarations are refused.  One batch per namespace, in
// order of first appearance.
bool parseEvents(std::string_view text, const Repository& repository, std::vector<EventBatch>* out,
                 MofError* error);

}  // namespace wmi::standin

#endif
