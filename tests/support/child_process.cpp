#include "tests/support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kv {
namespace testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& working_directory,
                           const std::string& output_path, const std::vector<std::string>& environment)
    : output_path_(output_path) {
    int in_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0) return;
    const int out_fd = ::open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out_fd < 0) {
        ::close(in_pipe[0]);
        ::close(in_pipe[1]);
        return;
    }

    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
    for (const std::string& extra : environment) env_strings.push_back(extra);
    std::vector<char*> env;
    for (std::string& e : env_strings) env.push_back(&e[0]);
    env.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> arg_ptrs;
    for (std::string& a : args) arg_ptrs.push_back(&a[0]);
    arg_ptrs.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in_pipe[0], STDIN_FILENO);
        ::dup2(out_fd, STDOUT_FILENO);
        ::dup2(out_fd, STDERR_FILENO);
        // The service blocks its stop signals itself; start each child with none blocked.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!working_directory.empty() && ::chdir(working_directory.c_str()) != 0) ::_exit(126);
        ::execve(arg_ptrs[0], arg_ptrs.data(), env.data());
        ::_exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_fd);
    stdin_fd_ = in_pipe[1];
}

ChildProcess::~ChildProcess() {
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
}

bool ChildProcess::running() {
    if (pid_ <= 0 || reaped_) return false;
    const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) reaped_ = true;
    return !reaped_;
}

bool ChildProcess::WriteLine(const std::string& line) {
    if (stdin_fd_ < 0) return false;
    const std::string text = line + "\n";
    return ::write(stdin_fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool ChildProcess::Signal(int signal) { return pid_ > 0 && !reaped_ && ::kill(pid_, signal) == 0; }

bool ChildProcess::Wait(std::chrono::milliseconds timeout, int* status) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (status) *status = status_;
    return pid_ > 0;
}

std::string ChildProcess::Output() const { return ReadFile(output_path_); }

bool ChildProcess::WaitForOutput(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds timeout, std::string* seen) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string output = Output();
        if (done(output)) {
            if (seen) *seen = output;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            if (seen) *seen = output;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool ChildProcess::WaitForText(const std::string& text, std::chrono::milliseconds timeout) const {
    return WaitForOutput([&](const std::string& out) { return out.find(text) != std::string::npos; }, timeout);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "wardex-test.XXXXXX").string();
    if (::mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WriteFile(const std::string& path, const std::string& content, int mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << content;
        if (!out.good()) return false;
    }
    return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

int UnusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

}  // namespace testing
}  // namespace kv
