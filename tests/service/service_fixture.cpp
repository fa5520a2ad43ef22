#include "tests/service/service_fixture.h"

#include <signal.h>

namespace kv {
namespace testing {

void ServiceTest::StartNvr(const Json& scenario, const std::string& address, uint16_t port) {
    harness::NvrOptions options;
    options.scenario = scenario;
    options.address = address;
    options.port = port;
    const harness::Outcome started = rig_.StartNvr(options);
    ASSERT_TRUE(started) << started.error();
}

void ServiceTest::StartReceiver(const std::vector<std::string>& extra_args) {
    harness::ReceiverOptions options;
    options.extra_args = extra_args;
    const harness::Outcome started = rig_.StartReceiver(options);
    ASSERT_TRUE(started) << started.error();
}

void ServiceTest::StartService(const std::vector<std::string>& environment) {
    harness::ServiceLaunch launch;
    launch.environment = environment;
    ASSERT_TRUE(rig_.StartService(launch));
    ASSERT_TRUE(WaitForLog("starting wardex ")) << Log();
}

void ServiceTest::StopService() {
    ASSERT_TRUE(service_);
    ASSERT_TRUE(service_->Signal(SIGTERM));
    const std::optional<harness::ExitStatus> status = service_->Wait(std::chrono::seconds(30));
    ASSERT_TRUE(status) << "the service did not stop";
    EXPECT_TRUE(status->clean()) << status->ToString();
    const std::string log = Log();
    EXPECT_NE(log.find("completed live thread"), std::string::npos);
    EXPECT_NE(log.find("Integration stopped"), std::string::npos);
    // What is left in the outbox is reported as part of the stop, not after it.
    const size_t left = log.find("alarms left for the next start");
    EXPECT_NE(left, std::string::npos);
    EXPECT_LT(left, log.find("Integration stopped"));
    EXPECT_NE(log.find("Bye\n"), std::string::npos);
}

void ServiceTest::StartWithReceiverZone(const std::string& zone, const ServiceOptions& options,
                                        const Json& scenario) {
    StartNvr(scenario);
    const Json ntp = {{"NTPServerIP", "127.0.0.9"}, {"NTPServerPort", "123"}, {"TimeZone", zone}, {"UpdateInterval", "60"}};
    StartReceiver({"--ntp", ntp.dump()});
    WriteConfig(options);
    StartService();
    ASSERT_TRUE(WaitForRegistration()) << Log();
    ASSERT_TRUE(WaitForLog(": Received ntp info: ip=127.0.0.9:123")) << Log();
}

}  // namespace testing
}  // namespace kv
