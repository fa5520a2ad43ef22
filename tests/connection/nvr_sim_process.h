// NvrSimProcess: a wardex-nvr-sim child process on an ephemeral loopback port, for the
// tests. It reads the simulator's JSON action lines back, sends control commands through
// standard input and waits (bounded) for their acknowledgement, so a test knows the
// command took effect before it goes on.
#ifndef WARDEX_TESTS_CONNECTION_NVR_SIM_PROCESS_H_
#define WARDEX_TESTS_CONNECTION_NVR_SIM_PROCESS_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

namespace kv {
namespace testing {

class NvrSimProcess {
public:
    // Listens on `address`, a loopback address, and `port` (0: a free one).
    explicit NvrSimProcess(const std::string& scenario_json = "{}", const std::string& address = "127.0.0.1",
                           uint16_t port = 0);
    ~NvrSimProcess();

    bool started() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    uint16_t control_port() const { return control_port_; }

    // Sends one command line and waits for the simulator's acknowledgement.
    bool Command(const std::string& command);
    // Sends a signal to the process, e.g. SIGSTOP for a recorder that hangs.
    bool Signal(int signal);

    // Every line printed so far, parsed.
    std::vector<nlohmann::json> Lines() const;
    std::string RawOutput() const;
    // Lines holding every member of `expected` with an equal value.
    int Count(const nlohmann::json& expected) const;
    // Waits until at least `count` such lines exist; the last one goes to `found`.
    bool WaitFor(const nlohmann::json& expected, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10),
                 nlohmann::json* found = nullptr) const;

private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
    uint16_t port_ = 0;
    uint16_t control_port_ = 0;
};

}  // namespace testing
}  // namespace kv

#endif  // WARDEX_TESTS_CONNECTION_NVR_SIM_PROCESS_H_
