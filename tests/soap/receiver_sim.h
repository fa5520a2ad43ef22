// Starts wardex-receiver-sim from the build tree for one test, on 127.0.0.1 (or another
// loopback address, for a second receiver) with ephemeral ports, and talks to it: commands over its command port, delivery records from its record
// file. The simulator ends with the test (SIGTERM), with the test process (parent-death
// signal), or after its own lifetime bound, whichever comes first.
#ifndef WARDEX_TESTS_SOAP_RECEIVER_SIM_H_
#define WARDEX_TESTS_SOAP_RECEIVER_SIM_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kv {
namespace test {

class ReceiverSim {
public:
    // `address`: a loopback address; 127.0.0.2 stands for a second receiver host.
    explicit ReceiverSim(std::string address = "127.0.0.1") : address_(std::move(address)) {}
    ~ReceiverSim();

    ReceiverSim(const ReceiverSim&) = delete;
    ReceiverSim& operator=(const ReceiverSim&) = delete;

    // False when the program could not be started or did not announce its ports in time.
    bool Start(const std::vector<std::string>& extra_args = {});

    const std::string& url() const { return url_; }
    // One command line; returns the reply line ("ok ..." / "error ...").
    std::string Command(const std::string& line);
    nlohmann::json Stats();
    std::vector<nlohmann::json> Records() const;

private:
    std::string address_;
    pid_t pid_ = -1;
    std::string url_;
    int control_port_ = 0;
    std::string record_path_;
};

// Polls `done` every `period` until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20),
             std::chrono::milliseconds period = std::chrono::milliseconds(20));

}  // namespace test
}  // namespace kv

#endif  // WARDEX_TESTS_SOAP_RECEIVER_SIM_H_
