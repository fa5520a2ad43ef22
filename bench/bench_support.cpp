#include "bench/bench_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kv {
namespace bench {

std::string BinDir() { return WARDEX_BIN_DIR; }

Child::~Child() { Stop(std::chrono::seconds(5)); }

bool Child::Start(const std::vector<std::string>& argv, const std::string& working_directory,
                  const std::string& stdout_path, const std::string& stderr_path,
                  const std::vector<std::string>& environment) {
    int pipe_fds[2] = {-1, -1};
    if (stdout_path.empty() && ::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args = argv;
    std::vector<char*> arg_ptrs;
    for (std::string& a : args) arg_ptrs.push_back(&a[0]);
    arg_ptrs.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (char** entry = environ; *entry != nullptr; ++entry) env_strings.emplace_back(*entry);
    env_strings.insert(env_strings.end(), environment.begin(), environment.end());
    std::vector<char*> env_ptrs;
    for (std::string& e : env_strings) env_ptrs.push_back(&e[0]);
    env_ptrs.push_back(nullptr);
    const pid_t parent = ::getpid();

    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        if (stdout_path.empty()) {
            ::dup2(pipe_fds[1], STDOUT_FILENO);
        } else {
            const int out = ::open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out < 0) ::_exit(126);
            ::dup2(out, STDOUT_FILENO);
        }
        const int err = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        const int null_in = ::open("/dev/null", O_RDONLY);
        if (null_in >= 0) ::dup2(null_in, STDIN_FILENO);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!working_directory.empty() && ::chdir(working_directory.c_str()) != 0) ::_exit(126);
        ::execve(arg_ptrs[0], arg_ptrs.data(), env_ptrs.data());
        ::_exit(127);
    }
    if (stdout_path.empty()) {
        ::close(pipe_fds[1]);
        stdout_fd_ = pipe_fds[0];
    }
    return true;
}

bool Child::Stop(std::chrono::milliseconds grace, int* status) {
    if (pid_ <= 0) return true;
    int result = 0;
    bool clean = true;
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + grace;
    while (::waitpid(pid_, &result, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &result, 0);
            clean = false;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (status) *status = result;
    pid_ = -1;
    if (stdout_fd_ >= 0) ::close(stdout_fd_);
    stdout_fd_ = -1;
    return clean;
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

LineClient::~LineClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool LineClient::Connect(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

bool LineClient::Send(const std::string& line) {
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool LineClient::Receive(std::string& line, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        struct pollfd waiting = {fd_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(std::min<long long>(left, 100))) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd_, buffer, sizeof(buffer));
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

std::string LineClient::Ask(const std::string& line, std::chrono::milliseconds limit) {
    std::string answer;
    if (!Send(line) || !Receive(answer, limit)) return "error no answer";
    return answer;
}

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return -1.0;
    // The command name may hold blanks; the fields after it are fixed.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1.0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (index == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long StatusKiB(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = field + ":";
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

long ResidentKiB(pid_t pid) { return StatusKiB(pid, "VmRSS"); }

int OpenDescriptors(pid_t pid) {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

namespace {

// Calls `each` with the path of every thread of `pid` (/proc/<pid>/task/<tid>); false
// when the folder cannot be read.
template <typename Each>
bool ForEachThread(pid_t pid, Each each) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return false;
    while (struct dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') each(folder + "/" + entry->d_name);
    }
    ::closedir(dir);
    return true;
}

}  // namespace

long ContextSwitches(pid_t pid) {
    long total = 0;
    const bool read = ForEachThread(pid, [&total](const std::string& thread) {
        std::ifstream in(thread + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0) total += std::strtol(line.c_str() + 24, nullptr, 10);
            if (line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0) {
                total += std::strtol(line.c_str() + 27, nullptr, 10);
            }
        }
    });
    return read ? total : -1;
}

double ThreadCpuSeconds(pid_t pid) {
    unsigned long long total_ns = 0;
    const bool read = ForEachThread(pid, [&total_ns](const std::string& thread) {
        std::ifstream in(thread + "/schedstat");
        unsigned long long run_ns = 0;
        if (in >> run_ns) total_ns += run_ns;
    });
    return read ? static_cast<double>(total_ns) / 1e9 : -1.0;
}

double OwnCpuSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

ScratchDir::ScratchDir() {
    std::string pattern = "/tmp/wardex-bench.XXXXXX";
    if (::mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

ScratchDir::~ScratchDir() {
    if (path_.empty() || std::getenv("WARDEX_BENCH_KEEP") != nullptr) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool WriteTextFile(const std::string& path, const std::string& text, int mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << text;
        if (!out.good()) return false;
    }
    return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void Row(const std::string& figure, const std::string& value, const std::string& baseline, double ratio,
         const std::string& target, const std::string& verdict) {
    std::cout << "row\t" << figure << '\t' << value << '\t' << baseline << '\t'
              << (ratio > 0.0 ? Fixed(ratio, 2) : std::string("-")) << '\t' << target << '\t' << verdict << std::endl;
}

void Note(const std::string& text) { std::cerr << "  " << text << std::endl; }

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

}  // namespace bench
}  // namespace kv
