// cutl_settingstrust.h                                            -*-C++-*-
//
// Whether the settings file may be trusted: a file that a user other than the
// machine's administrators (or the service's own user) can rewrite would let
// that user point the service, which runs with high privileges, at a peer of
// their choosing.  The test looks at the file and at the folder holding it.
// The platform forms live in platform/cutl_settingstrust_*.cpp.
//
// Thread safety: reentrant.
#ifndef INCLUDED_CUTL_SETTINGSTRUST
#define INCLUDED_CUTL_SETTINGSTRUST

#include <string>

namespace cutl {

// Empty when the settings file 'path' and its folder are protected, or when
// the file does not exist (reading it then fails on its own).  Otherwise a
// sentence naming the file or folder and why it is not trusted.
std::string settingsTrustProblem(const std::string& path);

}  // namespace cutl

#endif
