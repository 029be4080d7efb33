#include "utl_fileutils.h"

namespace utl {

namespace {
bool isSeparator(char c) {
    return c == '/' || c == '\\';
}
}  // namespace

std::string FileUtils::dirName(std::string_view path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string_view::npos) {
        return ".";
    }
    if (slash == 0) {
        return std::string(path.substr(0, 1));
    }
    return std::string(path.substr(0, slash));
}

std::string FileUtils::baseName(std::string_view path) {
    const size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool FileUtils::createDir(std::string_view path, bool withParents) {
    if (!path.empty() && path.size() > 1 && isSeparator(path.back())) {
        path.remove_suffix(1);
    }
    if (withParents) {
        // Each prefix ending before a separator, then the whole path.
        for (size_t i = 1; i < path.size(); ++i) {
            if (isSeparator(path[i]) && !isSeparator(path[i - 1]) &&
                !createOneDir(path.substr(0, i))) {
                return false;
            }
        }
    }
    return createOneDir(path);
}

}  // namespace utl
