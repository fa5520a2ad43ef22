// The whole service as an operator runs it: wardex, wardex-nvr-sim and wardex-receiver-sim
// as real processes on loopback addresses, wardex in a scratch working folder of its own
// with a "./wardex.json" that points at the two simulators and a scripted machine
// identity (scripts/get_id.sh) instead of the machine's.
//
// The parts start one by one, so a caller can change each before the next: StartNvr,
// StartReceiver, WriteConfig, StartService. The service's console (standard output and
// error) is console.txt in the working folder; Log() reads it.
#ifndef WARDEX_TESTING_HARNESS_SERVICE_RIG_H_
#define WARDEX_TESTING_HARNESS_SERVICE_RIG_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testing/harness/files.h"
#include "testing/harness/outcome.h"
#include "testing/harness/process.h"
#include "testing/harness/simulators.h"

namespace kv {
namespace harness {

struct ServiceConfig {
    bool report_motion = true;
    bool ignore_ntp = true;
    std::string user = "admin";
    std::string password = "tulip482";
    std::string endpoint;  // empty: the receiver simulator's
    std::string backup_endpoint;  // empty: none
    int nvr_port = 0;      // 0: the recorder simulator's
    std::string nvr_address = "127.0.0.1";
    std::string site_number = "S-42";
    int log_level = 0;
};

// Writes `folder`/wardex.json and the scripted identity `folder`/scripts/get_id.sh.
// `config` must name its endpoint and recorder port; loopback only.
Outcome WriteServiceFolder(const std::string& folder, const ServiceConfig& config);

struct ServiceLaunch {
    std::vector<std::string> environment;  // "NAME=value", e.g. the client library's test hooks
    std::vector<std::string> prefix;       // e.g. valgrind and its options
    std::string binary;                    // empty: DefaultServiceBinary()
};

// $WARDEX_BENCH_SERVICE when set, else this tree's wardex.
std::string DefaultServiceBinary();

class ServiceRig {
public:
    explicit ServiceRig(const std::string& prefix = "wardex-service", bool keep = false) : work_(prefix, keep) {}
    ~ServiceRig();
    ServiceRig(const ServiceRig&) = delete;
    ServiceRig& operator=(const ServiceRig&) = delete;

    // A recorder with three cameras, a drive message, a time server and two adapters.
    static nlohmann::json BaseScenario();

    Outcome StartNvr(const NvrOptions& options);
    Outcome StartReceiver(const ReceiverOptions& options);
    Outcome WriteConfig(const ServiceConfig& config);
    // Starts wardex without waiting for anything.
    Outcome StartService(const ServiceLaunch& launch = {});
    // SIGTERM, and SIGKILL after `grace`; `clean`: it ended by itself.
    ExitStatus StopService(std::chrono::milliseconds grace, bool* clean = nullptr);

    // The recorder information and the on-line alarm delivered.
    bool WaitForRegistration(std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

    // Delivered payloads of one method, as the receiver recorded them.
    std::vector<nlohmann::json> Delivered(const std::string& method) const;
    // The text of requestData as the receiver got it, key order and all.
    std::vector<std::string> DeliveredText(const std::string& method) const;
    std::vector<nlohmann::json> Alarms(const std::string& alarm_type) const;
    bool WaitForDelivered(const std::string& method, const std::function<bool(const nlohmann::json&)>& match,
                          size_t count = 1, std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    bool WaitForAlarm(const std::string& alarm_type, size_t count = 1,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

    std::string Log() const { return ReadFile(work_.File("console.txt")); }
    bool WaitForLog(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    size_t CountInLog(const std::string& text) const { return CountOf(Log(), text); }

    const ScratchDir& work() const { return work_; }
    // The parts, null until started; a caller may end one early by resetting it.
    std::unique_ptr<NvrSim>& nvr() { return nvr_; }
    std::unique_ptr<ReceiverSim>& receiver() { return receiver_; }
    std::unique_ptr<Process>& service() { return service_; }

private:
    ScratchDir work_;
    std::unique_ptr<NvrSim> nvr_;
    std::unique_ptr<ReceiverSim> receiver_;
    std::unique_ptr<Process> service_;
};

}  // namespace harness
}  // namespace kv

#endif  // WARDEX_TESTING_HARNESS_SERVICE_RIG_H_
