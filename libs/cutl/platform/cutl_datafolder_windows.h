// cutl_datafolder_windows.h                                       -*-C++-*-
//
// Windows only: who may write the service's data folder and settings file.
// The service runs as LocalSystem and follows the endpoint in its settings
// file, and it writes and renames its log inside the data folder, so neither
// the folder nor the file may be writable, or owned, by anyone but SYSTEM and
// the administrators (under ProgramData's default permissions any user may
// create folders, and the creator of a folder owns it).
//
// Thread safety: all functions are reentrant.
#ifndef INCLUDED_CUTL_DATAFOLDER_WINDOWS
#define INCLUDED_CUTL_DATAFOLDER_WINDOWS
#ifdef _WIN32

#include <windows.h>

#include <string>

namespace cutl {

// The security descriptor of the data folder in SDDL: owned by the
// Administrators group; a protected access list (nothing inherited from the
// parent): SYSTEM and Administrators full control, Users read and list,
// passed on to files and folders created inside.
extern const wchar_t k_DATA_FOLDER_SDDL[];

// Creates 'folder' (UTF-8) where missing, with the data folder's descriptor,
// or gives the existing folder that descriptor, owner included.  A folder
// that is a link (a reparse point) is neither followed nor changed.  Empty
// on success, otherwise why not.
std::string protectFolder(const std::string& folder);

// Deletes every link (reparse point) directly inside 'folder' (the link, not
// what it points at).  Empty on success, otherwise the first failure.
std::string removeLinksIn(const std::string& folder);

// Why a file or folder with the descriptor 'sd' (owner and access list read)
// may not be trusted, or empty: it must be owned by SYSTEM, the
// Administrators group or a member of it, and no one but SYSTEM,
// Administrators and that owner may write it.
std::string descriptorProblem(PSECURITY_DESCRIPTOR sd);

// The owner and access list of 'path' (UTF-8) in SDDL, empty when they
// cannot be read.
std::string sddlOf(const std::string& path);

}  // namespace cutl

#endif
#endif
