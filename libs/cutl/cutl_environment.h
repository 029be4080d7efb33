// cutl_environment.h                                              -*-C++-*-
//
// Where the programs keep their data on this machine.  'commonDataDir' is the
// machine-wide application data folder (on Windows the common application
// data folder of the shell, elsewhere $PROGRAMDATA or /var/lib); the service's
// logs and both programs' settings file lie in the product folder under it.
//
// Thread safety: all functions are reentrant.
#ifndef INCLUDED_CUTL_ENVIRONMENT
#define INCLUDED_CUTL_ENVIRONMENT

#include <string>

namespace cutl {

// The platform's path separator as written between components.
extern const char k_PATH_SEPARATOR;

// The machine-wide application data folder, or "./data" after a failed check
// (that never stops the process) when it cannot be obtained.
std::string commonDataDir();

// 'commonDataDir()' followed by the product folder "Tessarin/Lumivar".
std::string productDataDir();

// The settings file read by the service and written by the configuration
// tool: 'productDataDir()' followed by "Settings".
std::string settingsFilePath();

// The service's log folder: 'productDataDir()' followed by "Logs".
std::string logDir();

// This machine's network name ("" when it cannot be read); the forms live in
// platform/cutl_hostname_*.cpp.
std::string localHostName();

}  // namespace cutl

#endif
