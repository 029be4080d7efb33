#ifdef _WIN32

#include <windows.h>

#include "cutl_environment.h"

namespace cutl {

std::string localHostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        return {};
    }
    return std::string(name, size);
}

}  // namespace cutl

#endif
