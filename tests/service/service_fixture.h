// The whole service as an operator runs it: wardex, wardex-nvr-sim and wardex-receiver-sim
// as real processes on 127.0.0.1, wardex in a scratch working directory of its own with a
// "./wardex.json" that points at the two simulators and a scripted machine identity.
#ifndef WARDEX_TESTS_SERVICE_SERVICE_FIXTURE_H_
#define WARDEX_TESTS_SERVICE_SERVICE_FIXTURE_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/connection/nvr_sim_process.h"
#include "tests/soap/receiver_sim.h"
#include "tests/support/child_process.h"

namespace kv {
namespace testing {

using Json = nlohmann::json;

struct ServiceOptions {
    bool report_motion = true;
    bool ignore_ntp = true;
    std::string password = "tulip482";
    // The receiver's answer to GetNTPServerInfo.
    std::string ntp = R"({"NTPServerIP":"127.0.0.1","NTPServerPort":"123","TimeZone":"16","UpdateInterval":"3600"})";
    // Empty: a port of the receiver simulator started by the fixture.
    std::string endpoint;
    // 0: the NVR simulator's port.
    int nvr_port = 0;
    std::string nvr_address = "127.0.0.1";
};

class ServiceTest : public ::testing::Test {
protected:
    // The scenario every test starts from; tests change members before StartNvr.
    static Json BaseScenario();

    // `port` 0: a free one.
    void StartNvr(const Json& scenario, const std::string& address = "127.0.0.1", uint16_t port = 0);
    void StartReceiver(const std::vector<std::string>& extra_args = {});
    void WriteConfig(const ServiceOptions& options);
    // `environment`: extra "NAME=value" entries, e.g. the client library's test hooks.
    void StartService(const std::vector<std::string>& environment = {});
    // SIGTERM, then expects the ordered stop, "Bye" and exit status 0.
    void StopService();
    // All three started, the receiver answering time server 127.0.0.9 in `zone`; returns
    // once the service has registered and received that answer.
    void StartWithReceiverZone(const std::string& zone, const ServiceOptions& options, const Json& scenario);

    // Delivered payloads (the receiver's records) of one method.
    std::vector<Json> Delivered(const std::string& method) const;
    // The same as the receiver got them: the text of requestData, key order and all.
    std::vector<std::string> DeliveredText(const std::string& method) const;
    std::vector<Json> Alarms(const std::string& alarm_type) const;
    // Waits until at least `count` payloads of `method` satisfy `match`.
    bool WaitForDelivered(const std::string& method, const std::function<bool(const Json&)>& match, size_t count = 1,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    bool WaitForAlarm(const std::string& alarm_type, size_t count = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits for the service's registration: recorder information and the on-line alarm.
    bool WaitForRegistration() const;
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    int CountInLog(const std::string& text) const;
    std::string Log() const;
    std::string ConfigText() const { return ReadFile(work_.File("wardex.json")); }

    TempDir work_;
    std::unique_ptr<NvrSimProcess> nvr_;
    std::unique_ptr<kv::test::ReceiverSim> receiver_;
    std::unique_ptr<ChildProcess> service_;
};

}  // namespace testing
}  // namespace kv

#endif  // WARDEX_TESTS_SERVICE_SERVICE_FIXTURE_H_
