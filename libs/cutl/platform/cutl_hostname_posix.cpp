#ifndef _WIN32

#include <unistd.h>

#include "cutl_environment.h"

namespace cutl {

std::string localHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

}  // namespace cutl

#endif
