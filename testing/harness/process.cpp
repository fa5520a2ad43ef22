#include "testing/harness/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "testing/harness/files.h"

extern char** environ;

namespace kv {
namespace harness {

namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

std::string ExitStatus::ToString() const {
    if (exited()) return "exit status " + std::to_string(code());
    if (signal() != 0) return std::string("killed by ") + ::strsignal(signal());
    return "wait status " + std::to_string(raw);
}

Process::~Process() {
    if (pid_ > 0 && !reaped_) Stop();
    Release();
}

void Process::Release() {
    CloseFd(stdin_fd_);
    CloseFd(output_fd_);
}

Outcome Process::Start(const ProcessOptions& options) {
    if (pid_ > 0) return Outcome::Fail("already started");
    if (options.argv.empty()) return Outcome::Fail("no program");
    // Everything the child needs is built before the fork: after it, only async-signal-safe calls.
    std::vector<std::string> args = options.argv;
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    env.insert(env.end(), options.environment.begin(), options.environment.end());
    std::vector<char*> arg_ptrs = Pointers(args);
    std::vector<char*> env_ptrs = Pointers(env);

    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err = -1;
    if (options.stdin_pipe ? ::pipe2(in, O_CLOEXEC) != 0 : (in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0) {
        return Outcome::Fail("cannot make the standard input");
    }
    if (options.output_path.empty()) {
        if (::pipe2(out, O_CLOEXEC) != 0) out[0] = out[1] = -1;
    } else {
        out[1] = ::open(options.output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (!options.error_path.empty()) {
        err = ::open(options.error_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    } else if (!options.output_path.empty()) {
        err = out[1];
    }
    auto close_all = [&] {
        for (int* fd : {&in[0], &in[1], &out[0]}) CloseFd(*fd);
        if (err != out[1]) CloseFd(err);
        CloseFd(out[1]);
    };
    if (out[1] < 0 || (!options.error_path.empty() && err < 0)) {
        close_all();
        return Outcome::Fail("cannot open the output of " + options.argv[0]);
    }

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        close_all();
        return Outcome::Fail(std::string("fork: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        if (options.parent_death_signal != 0) {
            ::prctl(PR_SET_PDEATHSIG, options.parent_death_signal);
            if (::getppid() != parent) ::_exit(1);
        }
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        // The service blocks its stop signals itself; each child starts with none blocked.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!options.working_directory.empty() && ::chdir(options.working_directory.c_str()) != 0) ::_exit(126);
        ::execve(arg_ptrs[0], arg_ptrs.data(), env_ptrs.data());
        ::_exit(127);
    }
    CloseFd(in[0]);
    if (err != out[1]) CloseFd(err);
    CloseFd(out[1]);
    stdin_fd_ = in[1];
    output_fd_ = out[0];
    output_path_ = options.output_path;
    reaped_ = false;
    return Outcome::Ok();
}

bool Process::running() {
    if (pid_ <= 0 || reaped_) return false;
    if (::waitpid(pid_, &status_.raw, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
}

bool Process::WriteLine(const std::string& line) {
    if (stdin_fd_ < 0) return false;
    const std::string text = line + "\n";
    return ::write(stdin_fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool Process::Signal(int signal) { return pid_ > 0 && !reaped_ && ::kill(pid_, signal) == 0; }

std::optional<ExitStatus> Process::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

bool Process::Wait(std::chrono::milliseconds timeout, int* status) {
    const std::optional<ExitStatus> ended = Wait(timeout);
    if (ended && status != nullptr) *status = ended->raw;
    return ended.has_value();
}

ExitStatus Process::Stop(std::chrono::milliseconds grace, bool* clean) {
    if (clean != nullptr) *clean = true;
    if (pid_ <= 0) return status_;
    if (running()) {
        ::kill(pid_, SIGTERM);
        if (!Wait(grace)) {
            if (clean != nullptr) *clean = false;
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_.raw, 0);
            reaped_ = true;
        }
    }
    return status_;
}

std::string Process::Output() const { return output_path_.empty() ? std::string() : ReadFile(output_path_); }

bool Process::WaitForOutput(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout,
                            std::string* seen) const {
    std::string output;
    const bool found = WaitFor([&] { return done(output = Output()); }, timeout);
    if (seen != nullptr) *seen = output;
    return found;
}

bool Process::WaitForText(const std::string& text, std::chrono::milliseconds timeout) const {
    return WaitForOutput([&](const std::string& out) { return out.find(text) != std::string::npos; }, timeout);
}

bool ReadLine(int fd, std::string& line, Clock::time_point deadline) {
    line.clear();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        struct pollfd waiting = {fd, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(std::min<long long>(left, 100))) <= 0) continue;
        char c = 0;
        if (::read(fd, &c, 1) <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit, std::chrono::milliseconds period) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(period);
    }
    return true;
}

}  // namespace harness
}  // namespace kv
