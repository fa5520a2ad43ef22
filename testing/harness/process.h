// A program started as a child process for a test, a benchmark or the soak.
//
// The child gets the given argv (argv[0] is a path), working folder and extra environment
// on top of ours, with no signal blocked. Its standard output (and standard error unless
// told otherwise) goes to a file, appended, or to a pipe read through output_fd(). Its
// standard input is a pipe for WriteLine(), or /dev/null. It gets the parent-death signal
// when this process ends, so a crashed test leaves nothing behind; the destructor stops
// what is still running (SIGTERM, a grace period, SIGKILL) and reaps it.
#ifndef WARDEX_TESTING_HARNESS_PROCESS_H_
#define WARDEX_TESTING_HARNESS_PROCESS_H_

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "testing/harness/outcome.h"

namespace kv {
namespace harness {

using Clock = std::chrono::steady_clock;

struct ProcessOptions {
    std::vector<std::string> argv;
    std::string working_directory;        // empty: ours
    std::vector<std::string> environment;  // "NAME=value", added to ours
    std::string output_path;               // empty: a pipe (output_fd())
    std::string error_path;                // empty: with the output (or ours, for a pipe)
    bool stdin_pipe = true;                // false: /dev/null
    int parent_death_signal = SIGTERM;     // 0: none
};

// How a child ended, read from its wait status.
struct ExitStatus {
    int raw = 0;
    bool exited() const { return WIFEXITED(raw); }
    int code() const { return exited() ? WEXITSTATUS(raw) : -1; }
    int signal() const { return WIFSIGNALED(raw) ? WTERMSIG(raw) : 0; }
    bool clean() const { return exited() && code() == 0; }
    std::string ToString() const;
};

class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    Outcome Start(const ProcessOptions& options);

    pid_t pid() const { return pid_; }
    bool running();
    int output_fd() const { return output_fd_; }
    const std::string& output_path() const { return output_path_; }

    bool WriteLine(const std::string& line);
    bool Signal(int signal);
    // The exit status once the child has ended within `timeout`.
    std::optional<ExitStatus> Wait(std::chrono::milliseconds timeout);
    // The same, with the raw wait status for WIFEXITED and friends.
    bool Wait(std::chrono::milliseconds timeout, int* status);
    // SIGTERM, then SIGKILL after `grace`; the status, and through `clean` whether the
    // child ended by itself within the grace period.
    ExitStatus Stop(std::chrono::milliseconds grace = std::chrono::seconds(5), bool* clean = nullptr);

    // Everything written to the output file so far.
    std::string Output() const;
    // Polls Output() until `done` accepts it or `timeout` passes; the last output seen
    // goes to `seen`.
    bool WaitForOutput(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout,
                       std::string* seen = nullptr) const;
    bool WaitForText(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    void Release();

    pid_t pid_ = -1;
    bool reaped_ = false;
    ExitStatus status_;
    int stdin_fd_ = -1;
    int output_fd_ = -1;
    std::string output_path_;
};

// Reads one line (without its newline) from `fd`, giving up at `deadline` or at its end.
bool ReadLine(int fd, std::string& line, Clock::time_point deadline);

// Polls `done` every `period` until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20),
             std::chrono::milliseconds period = std::chrono::milliseconds(20));

}  // namespace harness
}  // namespace kv

#endif  // WARDEX_TESTING_HARNESS_PROCESS_H_
