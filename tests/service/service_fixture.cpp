#include "tests/service/service_fixture.h"

#include <signal.h>
#include <sys/wait.h>

#include <sys/stat.h>

#include <thread>

namespace kv {
namespace testing {

namespace {

// The identity the service keys its password encryption with, instead of the machine's.
constexpr char kIdentityScript[] = "#!/bin/sh\necho wardex-test-machine-0001\n";

}  // namespace

Json ServiceTest::BaseScenario() {
    return Json::parse(R"({
        "credentials": {"user": "admin", "password": "tulip482"},
        "version": "7.4.2.0",
        "serial": "KV-TEST-0007",
        "description": "Test recorder",
        "licensed_mac": "00-1A-2B-3C-4D-5E",
        "cameras": [
            {"name": "Door", "primary": true},
            {"name": "Hall", "primary": true},
            {"name": "Yard", "primary": false}
        ],
        "drives": [{"index": 12, "message": "Drive 12 failing"}],
        "time_zone": {"bias": 0, "name": "(UTC+00:00) UTC"},
        "time_server": {"address": "127.0.0.1", "synced": 1, "offset": 0, "interval": 3600},
        "adapters": [
            {"mac": "00:AA:BB:CC:DD:EE", "address": "127.0.0.2"},
            {"mac": "00:1A:2B:3C:4D:5E", "address": "127.0.0.3"}
        ],
        "loaded_after_ms": 200
    })");
}

void ServiceTest::StartNvr(const Json& scenario, const std::string& address, uint16_t port) {
    nvr_ = std::make_unique<NvrSimProcess>(scenario.dump(), address, port);
    ASSERT_TRUE(nvr_->started()) << nvr_->RawOutput();
}

void ServiceTest::StartReceiver(const std::vector<std::string>& extra_args) {
    receiver_ = std::make_unique<kv::test::ReceiverSim>();
    ASSERT_TRUE(receiver_->Start(extra_args));
}

void ServiceTest::WriteConfig(const ServiceOptions& options) {
    ASSERT_FALSE(work_.path().empty());
    const std::string endpoint = !options.endpoint.empty() ? options.endpoint : receiver_->url();
    ASSERT_EQ(endpoint.rfind("http://127.0.0.1:", 0), 0u) << "tests talk to loopback only: " << endpoint;
    ASSERT_EQ(options.nvr_address.rfind("127.", 0), 0u) << "tests talk to loopback only";
    Json config = {{"server_address", options.nvr_address},
                   {"server_port", options.nvr_port != 0 ? options.nvr_port : static_cast<int>(nvr_->port())},
                   {"server_user", "admin"},
                   {"server_password", options.password},
                   {"service_endpoint", endpoint},
                   {"report_motion", options.report_motion},
                   {"ignore_ntp", options.ignore_ntp},
                   {"site_number", "S-42"},
                   {"log_level", 0}};
    ASSERT_TRUE(WriteFile(work_.File("wardex.json"), config.dump(4), 0600));
    ASSERT_EQ(::mkdir(work_.File("scripts").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(work_.File("scripts/get_id.sh"), kIdentityScript, 0755));
}

void ServiceTest::StartService(const std::vector<std::string>& environment) {
    service_ = std::make_unique<ChildProcess>(std::vector<std::string>{std::string(WARDEX_BIN_DIR) + "/wardex"},
                                              work_.path(), work_.File("console.txt"), environment);
    ASSERT_TRUE(service_->WaitForText("starting wardex 1.0.3.0", std::chrono::seconds(20))) << service_->Output();
}

void ServiceTest::StopService() {
    ASSERT_TRUE(service_);
    ASSERT_TRUE(service_->Signal(SIGTERM));
    int status = 0;
    ASSERT_TRUE(service_->Wait(std::chrono::seconds(30), &status)) << "the service did not stop";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    const std::string log = Log();
    EXPECT_NE(log.find("completed live thread"), std::string::npos);
    EXPECT_NE(log.find("Integration stopped"), std::string::npos);
    // What is left in the outbox is reported as part of the stop, not after it.
    const size_t left = log.find("alarms left for the next start");
    EXPECT_NE(left, std::string::npos);
    EXPECT_LT(left, log.find("Integration stopped"));
    EXPECT_NE(service_->Output().find("Bye\n"), std::string::npos);
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

std::vector<Json> ServiceTest::Delivered(const std::string& method) const {
    std::vector<Json> payloads;
    if (!receiver_) return payloads;
    for (const Json& record : receiver_->Records()) {
        if (record.value("method", "") == method) payloads.push_back(record["payload"]);
    }
    return payloads;
}

std::vector<std::string> ServiceTest::DeliveredText(const std::string& method) const {
    std::vector<std::string> texts;
    if (!receiver_) return texts;
    for (const Json& record : receiver_->Records()) {
        if (record.value("method", "") == method) texts.push_back(record.value("request_data", ""));
    }
    return texts;
}

std::vector<Json> ServiceTest::Alarms(const std::string& alarm_type) const {
    std::vector<Json> alarms;
    for (const Json& payload : Delivered("SendAlarm")) {
        if (payload.is_object() && payload.value("AlarmType", "") == alarm_type) alarms.push_back(payload);
    }
    return alarms;
}

bool ServiceTest::WaitForDelivered(const std::string& method, const std::function<bool(const Json&)>& match,
                                   size_t count, std::chrono::milliseconds timeout) const {
    return kv::test::WaitFor(
        [&] {
            size_t n = 0;
            for (const Json& payload : Delivered(method)) n += match(payload) ? 1 : 0;
            return n >= count;
        },
        timeout);
}

bool ServiceTest::WaitForAlarm(const std::string& alarm_type, size_t count, std::chrono::milliseconds timeout) const {
    return kv::test::WaitFor([&] { return Alarms(alarm_type).size() >= count; }, timeout);
}

bool ServiceTest::WaitForRegistration() const {
    return WaitForDelivered("SendRecorderInfo", [](const Json&) { return true; }) && WaitForAlarm("5");
}

std::string ServiceTest::Log() const { return service_ ? service_->Output() : std::string(); }

bool ServiceTest::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    return service_ && service_->WaitForText(text, timeout);
}

int ServiceTest::CountInLog(const std::string& text) const {
    const std::string log = Log();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++n;
    return n;
}

}  // namespace testing
}  // namespace kv
