// The whole service as an operator runs it (testing/harness/service_rig.h), as a
// GoogleTest fixture: each step asserts that it worked.
#ifndef WARDEX_TESTS_SERVICE_SERVICE_FIXTURE_H_
#define WARDEX_TESTS_SERVICE_SERVICE_FIXTURE_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "testing/harness/service_rig.h"
#include "tests/connection/nvr_sim_process.h"
#include "tests/soap/receiver_sim.h"
#include "tests/support/child_process.h"

namespace kv {
namespace testing {

using Json = nlohmann::json;
using ServiceOptions = harness::ServiceConfig;

class ServiceTest : public ::testing::Test {
protected:
    // The scenario every test starts from; tests change members before StartNvr.
    static Json BaseScenario() { return harness::ServiceRig::BaseScenario(); }

    // `port` 0: a free one.
    void StartNvr(const Json& scenario, const std::string& address = "127.0.0.1", uint16_t port = 0);
    void StartReceiver(const std::vector<std::string>& extra_args = {});
    void WriteConfig(const ServiceOptions& options) { ASSERT_TRUE(rig_.WriteConfig(options)); }
    // `environment`: extra "NAME=value" entries, e.g. the client library's test hooks.
    void StartService(const std::vector<std::string>& environment = {});
    // SIGTERM, then expects the ordered stop, "Bye" and exit status 0.
    void StopService();
    // All three started, the receiver answering time server 127.0.0.9 in `zone`; returns
    // once the service has registered and received that answer.
    void StartWithReceiverZone(const std::string& zone, const ServiceOptions& options, const Json& scenario);

    std::vector<Json> Delivered(const std::string& method) const { return rig_.Delivered(method); }
    std::vector<std::string> DeliveredText(const std::string& method) const { return rig_.DeliveredText(method); }
    std::vector<Json> Alarms(const std::string& alarm_type) const { return rig_.Alarms(alarm_type); }
    bool WaitForDelivered(const std::string& method, const std::function<bool(const Json&)>& match, size_t count = 1,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        return rig_.WaitForDelivered(method, match, count, timeout);
    }
    bool WaitForAlarm(const std::string& alarm_type, size_t count = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        return rig_.WaitForAlarm(alarm_type, count, timeout);
    }
    bool WaitForRegistration() const { return rig_.WaitForRegistration(std::chrono::seconds(40)); }
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        return rig_.WaitForLog(text, timeout);
    }
    int CountInLog(const std::string& text) const { return static_cast<int>(rig_.CountInLog(text)); }
    std::string Log() const { return rig_.Log(); }
    std::string ConfigText() const { return ReadFile(work_.File("wardex.json")); }

    harness::ServiceRig rig_{"wardex-test"};
    const TempDir& work_ = rig_.work();
    std::unique_ptr<NvrSimProcess>& nvr_ = rig_.nvr();
    std::unique_ptr<kv::test::ReceiverSim>& receiver_ = rig_.receiver();
    std::unique_ptr<harness::Process>& service_ = rig_.service();
};

}  // namespace testing
}  // namespace kv

#endif  // WARDEX_TESTS_SERVICE_SERVICE_FIXTURE_H_
