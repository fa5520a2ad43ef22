#include "testing/harness/service_rig.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace kv {
namespace harness {

namespace {

// The identity the service keys its password encryption with, instead of the machine's.
constexpr char kIdentityScript[] = "#!/bin/sh\necho wardex-test-machine-0001\n";

}  // namespace

std::string DefaultServiceBinary() {
    const char* chosen = std::getenv("WARDEX_BENCH_SERVICE");
    return chosen != nullptr && *chosen != '\0' ? chosen : BinDir() + "/wardex";
}

ServiceRig::~ServiceRig() {
    // The service first, so that it never sees its peers vanish under it.
    service_.reset();
    receiver_.reset();
    nvr_.reset();
}

nlohmann::json ServiceRig::BaseScenario() {
    return nlohmann::json::parse(R"({
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

Outcome ServiceRig::StartNvr(const NvrOptions& options) {
    nvr_ = std::make_unique<NvrSim>(options);
    return nvr_->started() ? Outcome::Ok() : Outcome::Fail("recorder simulator: " + nvr_->start_error());
}

Outcome ServiceRig::StartReceiver(const ReceiverOptions& options) {
    receiver_ = std::make_unique<ReceiverSim>(options.address);
    const Outcome started = receiver_->Start(options);
    return started ? started : Outcome::Fail("receiver simulator: " + started.error());
}

Outcome WriteServiceFolder(const std::string& folder, const ServiceConfig& config) {
    // The built-in receiver and recorder addresses must never be reached from here.
    const bool loopback = config.endpoint.rfind("http://127.", 0) == 0 && config.nvr_address.rfind("127.", 0) == 0 &&
                          (config.backup_endpoint.empty() || config.backup_endpoint.rfind("http://127.", 0) == 0);
    if (!loopback) return Outcome::Fail("loopback only: " + config.endpoint + ", " + config.nvr_address);
    nlohmann::json file = {{"server_address", config.nvr_address},
                           {"server_port", config.nvr_port},
                           {"server_user", config.user},
                           {"server_password", config.password},
                           {"service_endpoint", config.endpoint}};
    if (!config.backup_endpoint.empty()) file["backup_service_endpoint"] = config.backup_endpoint;
    file["report_motion"] = config.report_motion;
    file["ignore_ntp"] = config.ignore_ntp;
    file["site_number"] = config.site_number;
    file["log_level"] = config.log_level;
    const std::string scripts = folder + "/scripts";
    if (!WriteFile(folder + "/wardex.json", file.dump(4), 0600) ||
        (::mkdir(scripts.c_str(), 0755) != 0 && errno != EEXIST) ||
        !WriteFile(scripts + "/get_id.sh", kIdentityScript, 0755)) {
        return Outcome::Fail("cannot write the configuration in " + folder);
    }
    return Outcome::Ok();
}

Outcome ServiceRig::WriteConfig(const ServiceConfig& config) {
    if (!work_.ok()) return Outcome::Fail("no working folder");
    ServiceConfig complete = config;
    if (complete.endpoint.empty() && receiver_) complete.endpoint = receiver_->url();
    if (complete.nvr_port == 0 && nvr_) complete.nvr_port = nvr_->port();
    return WriteServiceFolder(work_.path(), complete);
}

// The service runs in the working folder: its configuration, logs and outbox.db are there.
Outcome ServiceRig::StartService(const ServiceLaunch& launch) {
    ProcessOptions options;
    options.argv = launch.prefix;
    options.argv.push_back(launch.binary.empty() ? DefaultServiceBinary() : launch.binary);
    options.working_directory = work_.path();
    options.output_path = work_.File("console.txt");
    options.environment = launch.environment;
    service_ = std::make_unique<Process>();
    return service_->Start(options);
}

ExitStatus ServiceRig::StopService(std::chrono::milliseconds grace, bool* clean) {
    if (!service_) {
        if (clean != nullptr) *clean = true;
        return ExitStatus();
    }
    return service_->Stop(grace, clean);
}

bool ServiceRig::WaitForRegistration(std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    const auto left = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()); };
    return WaitForDelivered("SendRecorderInfo", [](const nlohmann::json&) { return true; }, 1, left()) &&
           WaitForAlarm("5", 1, left());
}

std::vector<nlohmann::json> ServiceRig::Delivered(const std::string& method) const {
    std::vector<nlohmann::json> payloads;
    if (!receiver_) return payloads;
    for (const nlohmann::json& record : receiver_->Records()) {
        if (record.value("method", "") == method) payloads.push_back(record["payload"]);
    }
    return payloads;
}

std::vector<std::string> ServiceRig::DeliveredText(const std::string& method) const {
    std::vector<std::string> texts;
    if (!receiver_) return texts;
    for (const nlohmann::json& record : receiver_->Records()) {
        if (record.value("method", "") == method) texts.push_back(record.value("request_data", ""));
    }
    return texts;
}

std::vector<nlohmann::json> ServiceRig::Alarms(const std::string& alarm_type) const {
    std::vector<nlohmann::json> alarms;
    for (const nlohmann::json& payload : Delivered("SendAlarm")) {
        if (payload.is_object() && payload.value("AlarmType", "") == alarm_type) alarms.push_back(payload);
    }
    return alarms;
}

bool ServiceRig::WaitForDelivered(const std::string& method, const std::function<bool(const nlohmann::json&)>& match,
                                  size_t count, std::chrono::milliseconds limit) const {
    return WaitFor(
        [&] {
            size_t n = 0;
            for (const nlohmann::json& payload : Delivered(method)) n += match(payload) ? 1 : 0;
            return n >= count;
        },
        limit);
}

bool ServiceRig::WaitForAlarm(const std::string& alarm_type, size_t count, std::chrono::milliseconds limit) const {
    return WaitFor([&] { return Alarms(alarm_type).size() >= count; }, limit);
}

bool ServiceRig::WaitForLog(const std::string& text, std::chrono::milliseconds limit) const {
    return WaitFor([&] { return Log().find(text) != std::string::npos; }, limit);
}

}  // namespace harness
}  // namespace kv
