// cutl_settingstrust.h                                            -*-C++-*-
//
// Whether the settings file may be trusted: a file that a user other than the
// machine's administrators (or the service's own user) can rewrite would let
// that user point the service, which runs with high privileges, at a peer of
// their choosing.  On POSIX systems the file is opened without following
// links, below the folder opened the same way, and both, as well as every
// folder above them, are checked through their descriptors before the file
// is read from its own: nothing can swap it between check and read.  The
// platform forms live in platform/cutl_settingstrust_*.cpp.
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

// Reads the settings file 'path' into '*text' when it may be trusted and
// answers true.  False with '*problem' set (as 'settingsTrustProblem' says
// it) when it may not; false with '*problem' empty when it does not exist or
// cannot be read.
bool readTrustedSettings(const std::string& path, std::string* text, std::string* problem);

// Makes the data folder 'folder' and its parent (the maker's folder) safe
// for the service to write, where the platform keeps owners and access lists
// on folders (Windows): creates what is missing, gives both the
// administrators as owner and an access list that only they and SYSTEM may
// write, and removes links (reparse points) found inside 'folder' and its
// "Logs".  Elsewhere the folder's owner and mode come from the service's
// installation (the unit's state folder) and this does nothing.  Empty on
// success, otherwise what could not be done.
std::string protectDataFolder(const std::string& folder);

// Where files have owners the system assigns from the creating process
// (Windows): makes the Administrators group the owner of every file and
// folder this process creates from now on, as the trust rule wants of the
// settings file; possible for an elevated administrator only.  Elsewhere
// does nothing.  Empty on success, otherwise why not.
std::string ownNewFilesAsAdministrators();

}  // namespace cutl

#endif
