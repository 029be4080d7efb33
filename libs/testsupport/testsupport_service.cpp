#include "testsupport_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testutil {

FakeNvr::FakeNvr() {
    d_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(d_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(d_listen, 4);
    socklen_t len = sizeof addr;
    ::getsockname(d_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    d_port = ntohs(addr.sin_port);
}

FakeNvr::~FakeNvr() {
    closeConnection();
    ::close(d_listen);
}

bool FakeNvr::accept(Millis timeout) {
    pollfd p{d_listen, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return false;
    }
    closeConnection();
    d_packer.reset();
    d_conn = ::accept(d_listen, nullptr, nullptr);
    return d_conn >= 0;
}

void FakeNvr::closeConnection() {
    if (d_conn >= 0) {
        ::close(d_conn);
        d_conn = -1;
    }
}

void FakeNvr::send(const Message& message) {
    core::GSharedBuf frame = NS_LNL::Packer::packMessage(message);
    sendRaw(frame.str());
}

void FakeNvr::sendRaw(const std::string& bytes) {
    size_t done = 0;
    while (d_conn >= 0 && done < bytes.size()) {
        ssize_t n = ::send(d_conn, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void FakeNvr::pump(Millis timeout) {
    if (d_conn < 0) {
        return;
    }
    pollfd p{d_conn, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return;
    }
    char buf[65536];
    ssize_t n = ::recv(d_conn, buf, sizeof buf, 0);
    if (n <= 0) {
        closeConnection();
        return;
    }
    // A keep-alive is a 0xF7 byte outside a frame: feed the bytes before each
    // 0xF7 first so the decoder's state tells which one it is.
    ssize_t from = 0;
    for (ssize_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(buf[i]) != 0xF7) {
            continue;
        }
        if (i > from) {
            d_packer.addReceivedData(core::GSharedBuf::copyOf(buf + from, i - from));
            from = i;
        }
        if (d_packer.state() == NS_LNL::Packer::e_WAIT_START) {
            ++d_keepalives;
            from = i + 1;
        }
    }
    if (n > from) {
        d_packer.addReceivedData(core::GSharedBuf::copyOf(buf + from, n - from));
    }
}

bool FakeNvr::receive(Message* message, Millis timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (d_messages.empty() && d_conn >= 0) {
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        pump(std::max(left, Millis(0)));
        if (left.count() <= 0) {
            break;
        }
    }
    if (d_messages.empty()) {
        return false;
    }
    *message = d_messages.front();
    d_messages.pop_front();
    return true;
}

bool FakeNvr::waitClosed(Millis timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (d_conn >= 0) {
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pump(left);
    }
    return true;
}

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, const std::string& logFile) {
    d_pid = ::fork();
    if (d_pid == 0) {
        for (const auto& [name, value] : env) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
        int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
}

Process::~Process() {
    if (running()) {
        ::kill(d_pid, SIGKILL);
        wait(Millis(5000));
    }
}

void Process::signal(int sig) {
    if (d_pid > 0) {
        ::kill(d_pid, sig);
    }
}

bool Process::running() {
    if (d_pid <= 0 || d_status >= 0) {
        return false;
    }
    int status = 0;
    pid_t r = ::waitpid(d_pid, &status, WNOHANG);
    if (r == d_pid) {
        d_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

int Process::wait(Millis timeout) {
    waitFor([this] { return !running(); }, timeout);
    return d_status;
}

std::string binaryPath(const std::string& name) {
    // Tests run with the build folder as working directory.
    return std::filesystem::absolute("bin/" + name).string();
}

bool waitFor(const std::function<bool()>& condition, Millis timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(Millis(10));
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeSettings(const std::string& programData, const std::string& address, int port,
                   const std::string& extra, std::filesystem::perms mode) {
    std::string folder = programData + "/Tessarin/Lumivar";
    std::filesystem::create_directories(folder);
    // The service trusts only a protected file, whatever the umask says.
    std::filesystem::permissions(folder, std::filesystem::perms(0755));
    std::string tmp = folder + "/.Settings.tmp";
    {
        std::ofstream out(tmp);
        out << "[NVR]\nAddress=" << address << "\nPort=" << port << "\n" << extra;
    }
    std::filesystem::permissions(tmp, mode);
    std::filesystem::rename(tmp, folder + "/Settings");
}

}  // namespace testutil
