// A program the tests start as a real child process: its standard output (and error)
// go to a file that the test reads while it runs, its standard input is a pipe the test
// can write commands to, and it is stopped with a signal and reaped with a deadline.
// The destructor kills and reaps what is still running, so a failing test leaves no
// process behind.
#ifndef WARDEX_TESTS_SUPPORT_CHILD_PROCESS_H_
#define WARDEX_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/loopback_port.h"

namespace kv {
namespace testing {

class ChildProcess {
public:
    // Starts `argv[0]` (a path) with the arguments, in `working_directory`, with its
    // output appended to `output_path`. Extra environment entries are "NAME=value".
    ChildProcess(const std::vector<std::string>& argv, const std::string& working_directory,
                 const std::string& output_path, const std::vector<std::string>& environment = {});
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Writes one line to the child's standard input.
    bool WriteLine(const std::string& line);
    bool Signal(int signal);
    // Waits for the child to end; returns false on timeout. `status` is the waitpid status.
    bool Wait(std::chrono::milliseconds timeout, int* status = nullptr);
    // Everything the child has written so far.
    std::string Output() const;
    // Polls Output() until `done` accepts it or the timeout passes; returns the last
    // output seen through `seen` and whether `done` accepted it.
    bool WaitForOutput(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout,
                       std::string* seen = nullptr) const;
    bool WaitForText(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string output_path_;
};

// A fresh directory under the system's temporary folder, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content, int mode = 0644);

}  // namespace testing
}  // namespace kv

#endif  // WARDEX_TESTS_SUPPORT_CHILD_PROCESS_H_
