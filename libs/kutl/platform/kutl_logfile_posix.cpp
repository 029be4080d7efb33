// POSIX form of the log file: a descriptor opened with O_APPEND; rename(2)
// moves it whoever else has it open.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kutl_logfile.h"
#include "utl_fileutils.h"

namespace kutl {

LogFile::~LogFile() {
    close();
}

bool LogFile::open(const std::string& path) {
    close();
    d_path = path;
    d_fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    return d_fd >= 0;
}

bool LogFile::append(std::string_view bytes) {
    return d_fd >= 0 &&
           ::write(d_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::string LogFile::moveTo(const std::string& target) {
    return renameLogFile(d_path, target);
}

void LogFile::close() {
    if (d_fd >= 0) {
        ::close(d_fd);
        d_fd = -1;
    }
}

int64_t LogFile::size() const {
    struct stat st;
    return d_fd >= 0 && ::fstat(d_fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string renameLogFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return std::strerror(errno);
    }
    utl::FileUtils::syncFolderOf(to);
    return {};
}

}  // namespace kutl

#endif
