// Small pieces the benchmarks share: child programs from the build tree, line-oriented
// loopback connections to their command ports, what /proc says about a process, and the
// result rows that scripts/bench turns into its table.
//
// Everything here is for measuring, not for the service: failures are reported as false
// or empty values, and every wait has a deadline so a broken run ends by itself.
#ifndef WARDEX_BENCH_BENCH_SUPPORT_H_
#define WARDEX_BENCH_BENCH_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kv {
namespace bench {

using Clock = std::chrono::steady_clock;

// The folder holding wardex, the simulators and libkvAPI.so of this build tree.
std::string BinDir();

// A program started from the build tree. Standard output goes to a pipe (stdout_fd())
// or to a file; standard error always to a file. The child gets SIGTERM when the
// benchmark dies; the destructor stops it (SIGTERM, then SIGKILL) and reaps it.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // `stdout_path` empty: standard output is a pipe. Runs in `working_directory`, with
    // this process's environment plus `environment` ("NAME=value" entries).
    bool Start(const std::vector<std::string>& argv, const std::string& working_directory,
               const std::string& stdout_path, const std::string& stderr_path,
               const std::vector<std::string>& environment = {});
    // SIGTERM and wait; false when it had to be killed. `status` is the waitpid status.
    bool Stop(std::chrono::milliseconds grace, int* status = nullptr);

    pid_t pid() const { return pid_; }
    int stdout_fd() const { return stdout_fd_; }

private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
};

// Reads one line from `fd` (without its newline), giving up at `deadline`.
bool ReadLine(int fd, std::string& line, Clock::time_point deadline);

// A TCP connection to 127.0.0.1:port that speaks one line per command.
class LineClient {
public:
    LineClient() = default;
    ~LineClient();
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    bool Connect(int port);
    bool Send(const std::string& line);
    bool Receive(std::string& line, std::chrono::milliseconds limit);
    // Send, then the one answer line.
    std::string Ask(const std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(10));
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string pending_;
};

// What /proc tells about a running process; -1 when it cannot be read.
double CpuSeconds(pid_t pid);       // user + system time so far
// One "kB" figure of /proc/<pid>/status (VmRSS, RssAnon, RssFile, ...); -1 when absent.
long StatusKiB(pid_t pid, const std::string& field);
long ResidentKiB(pid_t pid);        // VmRSS
int OpenDescriptors(pid_t pid);     // entries in /proc/<pid>/fd
double OwnCpuSeconds();             // this process, through getrusage
// Over every thread of the process (/proc/<pid>/task): the times a thread went to sleep
// and woke again (voluntary plus involuntary context switches), and the CPU time run so
// far in nanoseconds-precise seconds (schedstat). -1 when nothing can be read.
long ContextSwitches(pid_t pid);
double ThreadCpuSeconds(pid_t pid);

// The p-th percentile (0..100) of `values`, nearest rank; 0 for none.
double Percentile(std::vector<double> values, double p);

// A fresh folder under /tmp, removed with its content at destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

bool WriteTextFile(const std::string& path, const std::string& text, int mode = 0644);
std::string ReadTextFile(const std::string& path);

// One line of the final table: "row<TAB>figure<TAB>value<TAB>baseline<TAB>ratio<TAB>target<TAB>verdict".
// `ratio` is printed only when positive; the verdict is free text ("met", "missed", "-").
void Row(const std::string& figure, const std::string& value, const std::string& baseline, double ratio,
         const std::string& target, const std::string& verdict);
// Progress and details for the reader of the run, on standard error.
void Note(const std::string& text);
std::string Fixed(double value, int decimals);

}  // namespace bench
}  // namespace kv

#endif  // WARDEX_BENCH_BENCH_SUPPORT_H_
