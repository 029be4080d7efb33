// Windows form of the settings trust rule.
#ifdef _WIN32

#include "cutl_settingstrust.h"

namespace cutl {

// Not yet checked on Windows: every settings file is trusted.
std::string settingsTrustProblem(const std::string&) {
    return {};
}

}  // namespace cutl

#endif
