// cutl_datafolder_windows.h                                       -*-C++-*-
//
// Windows only: who may write the service's data folder and settings file.
// The service runs as LocalSystem and follows the endpoint in its settings
// file, so the folder holding that file must not be writable by every user
// (under ProgramData's default permissions any user may create files there).
//
// Thread safety: all functions are reentrant.
#ifndef INCLUDED_CUTL_DATAFOLDER_WINDOWS
#define INCLUDED_CUTL_DATAFOLDER_WINDOWS
#ifdef _WIN32

#include <string>

namespace cutl {

// The access list of the data folder in SDDL: protected (nothing inherited
// from the parent), SYSTEM and Administrators full control, Users read and
// list; passed on to files and folders created inside.
extern const wchar_t k_DATA_FOLDER_SDDL[];

// Creates 'folder' (UTF-8) with the data folder's access list when it does
// not exist; an existing folder is left as it is.  True when the folder
// exists afterwards.
bool createProtectedFolder(const std::string& folder);

// Gives the existing 'folder' the data folder's access list, passed on to
// what it holds.  True on success.
bool protectFolder(const std::string& folder);

// Whether the owner of the file 'path' is SYSTEM, the Administrators group
// or a member of it.  When not (or when the owner cannot be read), '*reason'
// says why, naming the owner.
bool isOwnedByAdministrator(const std::string& path, std::string* reason);

}  // namespace cutl

#endif
#endif
