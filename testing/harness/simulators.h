// The two simulators from the build tree, on loopback addresses with ephemeral ports.
//
// Both announce readiness with the same first line on standard output,
//   {"event":"listening","address":A,"port":P,"control_port":C,...}
// and take commands on their command port, one line each, answered by one line.
//
// ReceiverSim: wardex-receiver-sim with its delivery records in a file that Records()
// reads, so a record is there as soon as the exchange that brought it has been answered;
// or, given a handler, on a pipe, where a reader thread stamps each record the moment it
// arrives and hands it over (and keeps it, if asked, for Records()). NvrSim: wardex-nvr-sim with its action lines in a file, read back
// as JSON. Either ends with its object, with this process (parent-death signal), or
// after its own lifetime bound, whichever comes first.
#ifndef WARDEX_TESTING_HARNESS_SIMULATORS_H_
#define WARDEX_TESTING_HARNESS_SIMULATORS_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "testing/harness/files.h"
#include "testing/harness/line_client.h"
#include "testing/harness/outcome.h"
#include "testing/harness/process.h"

namespace kv {
namespace harness {

// The folder holding wardex, the simulators and libkvAPI.so of this build tree.
std::string BinDir();

// The simulators' ready line; port 0 when `line` is not one.
struct Listening {
    std::string address;
    int port = 0;
    int control_port = 0;
    std::string url;  // the receiver's service address; empty for the recorder
};
Listening ParseListening(const std::string& line);

struct ReceiverOptions {
    using RecordHandler = std::function<void(const nlohmann::json& record, Clock::time_point arrived)>;

    std::string address = "127.0.0.1";  // 127.0.0.2 stands for a second receiver host
    std::vector<std::string> extra_args;
    bool record = true;                  // false: no records at all (raw capacity)
    RecordHandler on_record;             // runs on the reader thread
    bool keep_records = true;            // with a handler, false: Records() stays empty
    std::chrono::seconds lifetime{300};  // 0: none
    std::string error_path;              // its standard error; empty: ours
};

class ReceiverSim {
public:
    explicit ReceiverSim(std::string address = "127.0.0.1") { options_.address = std::move(address); }
    ~ReceiverSim();
    ReceiverSim(const ReceiverSim&) = delete;
    ReceiverSim& operator=(const ReceiverSim&) = delete;

    Outcome Start(const std::vector<std::string>& extra_args = {});
    Outcome Start(const ReceiverOptions& options);
    // SIGTERM and reap; the reader thread ends with the pipe.
    ExitStatus Stop();

    const std::string& url() const { return ready_.url; }
    const std::string& address() const { return options_.address; }
    int port() const { return ready_.port; }
    pid_t pid() const { return process_.pid(); }
    // One command; its answer line ("ok ..." / "error ...").
    std::string Command(const std::string& line);
    // The counters of the "stats" command; an empty object when it failed.
    nlohmann::json Stats();
    std::vector<nlohmann::json> Records() const;

private:
    void ReadRecords();

    ReceiverOptions options_;
    std::unique_ptr<ScratchDir> folder_;
    std::string record_path_;
    Process process_;
    Listening ready_;
    std::thread reader_;
    mutable std::mutex records_mutex_;
    std::vector<nlohmann::json> records_;
    std::mutex control_mutex_;
    LineClient control_;
};

struct NvrOptions {
    nlohmann::json scenario = nlohmann::json::object();
    std::string address = "127.0.0.1";
    uint16_t port = 0;
    std::vector<std::string> environment;
    std::vector<std::string> extra_args;
    std::string folder;  // for the scenario and the output; empty: a scratch folder of its own
    std::chrono::seconds lifetime{300};  // 0: none
};

class NvrSim {
public:
    // Both start it at once; started() tells whether it came up, start_error() why not.
    explicit NvrSim(const std::string& scenario_json = "{}", const std::string& address = "127.0.0.1",
                    uint16_t port = 0);
    explicit NvrSim(const NvrOptions& options);
    ~NvrSim();
    NvrSim(const NvrSim&) = delete;
    NvrSim& operator=(const NvrSim&) = delete;

    ExitStatus Stop();

    bool started() const { return ready_.port != 0; }
    const std::string& start_error() const { return start_error_; }
    uint16_t port() const { return static_cast<uint16_t>(ready_.port); }
    uint16_t control_port() const { return static_cast<uint16_t>(ready_.control_port); }
    pid_t pid() const { return process_.pid(); }

    // One command, answered once it took effect; false when refused or unanswered.
    bool Command(const std::string& command);
    // A signal to the process, e.g. SIGSTOP for a recorder that hangs.
    bool Signal(int signal) { return process_.Signal(signal); }

    // Pipelined commands for a fast sender: Send() does not wait; a thread of its own
    // collects the answers. WaitForAnswers: every command sent so far answered, none refused.
    bool Send(const std::string& command);
    bool WaitForAnswers(std::chrono::milliseconds limit);

    // Every line printed so far, parsed; lines holding every member of `expected`.
    std::vector<nlohmann::json> Lines() const;
    std::string RawOutput() const;
    int Count(const nlohmann::json& expected) const;
    // Waits until at least `count` such lines exist; the last one goes to `found`.
    bool WaitFor(const nlohmann::json& expected, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10), nlohmann::json* found = nullptr) const;

private:
    Outcome Start(const NvrOptions& options);

    std::unique_ptr<ScratchDir> own_folder_;
    std::string start_error_;
    Process process_;
    Listening ready_;
    std::string address_;
    std::mutex control_mutex_;
    LineClient control_;
    LineClient pipeline_;
    std::thread answers_;
    std::atomic<size_t> sent_{0};
    std::atomic<size_t> answered_{0};
    std::atomic<size_t> refused_{0};
    std::atomic<bool> stopping_{false};
};

}  // namespace harness
}  // namespace kv

#endif  // WARDEX_TESTING_HARNESS_SIMULATORS_H_
