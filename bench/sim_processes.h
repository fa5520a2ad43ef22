// The two simulators as the benchmarks drive them, on 127.0.0.1 with ephemeral ports.
//
// ReceiverProcess: wardex-receiver-sim with its delivery records on a pipe, so that each
// record is stamped the moment it arrives here; commands go to its command port.
// NvrProcess: wardex-nvr-sim with its action lines in a file; events are raised through
// its control port, one command line each, answered by one line each.
#ifndef WARDEX_BENCH_SIM_PROCESSES_H_
#define WARDEX_BENCH_SIM_PROCESSES_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_support.h"

namespace kv {
namespace bench {

class ReceiverProcess {
public:
    // Runs on the reader thread for every record line, with its arrival time.
    using RecordHandler = std::function<void(const nlohmann::json& record, Clock::time_point arrived)>;

    ~ReceiverProcess();

    // `on_record` empty: no records are written at all.
    bool Start(const std::string& scratch, const std::vector<std::string>& extra_args = {},
               RecordHandler on_record = nullptr);
    void Stop();

    const std::string& url() const { return url_; }
    pid_t pid() const { return child_.pid(); }
    std::string Command(const std::string& line);
    nlohmann::json Stats();

private:
    Child child_;
    std::string url_;
    int control_port_ = 0;
    std::thread reader_;
    std::mutex control_mutex_;
    LineClient control_;
    bool control_open_ = false;
};

class NvrProcess {
public:
    ~NvrProcess();

    bool Start(const std::string& scratch, const nlohmann::json& scenario,
               const std::vector<std::string>& environment = {});
    void Stop();

    pid_t pid() const { return child_.pid(); }
    int port() const { return port_; }

    // Sends one command without waiting for its answer; answers are collected by a
    // thread of their own, so a fast sender never blocks on them.
    bool Send(const std::string& command);
    // Waits until every command sent so far has been answered; false on timeout or when
    // any answer was an error.
    bool WaitForAnswers(std::chrono::milliseconds limit);

private:
    Child child_;
    int port_ = 0;
    int control_port_ = 0;
    LineClient control_;
    std::thread answers_;
    std::atomic<size_t> sent_{0};
    std::atomic<size_t> answered_{0};
    std::atomic<size_t> refused_{0};
    std::atomic<bool> stopping_{false};
};

}  // namespace bench
}  // namespace kv

#endif  // WARDEX_BENCH_SIM_PROCESSES_H_
