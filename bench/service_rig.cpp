#include "bench/service_rig.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace kv {
namespace bench {

namespace {

// The identity the service keys its password encryption with, instead of the machine's.
constexpr char kIdentityScript[] = "#!/bin/sh\necho wardex-bench-machine-0001\n";

nlohmann::json Scenario() {
    return nlohmann::json::parse(R"({
        "credentials": {"user": "admin", "password": "tulip482"},
        "version": "7.4.2.0", "serial": "KV-BENCH-0001", "description": "Bench recorder",
        "licensed_mac": "00-1A-2B-3C-4D-5E",
        "cameras": [{"name": "Door", "primary": true}],
        "time_zone": {"bias": 0, "name": "(UTC+00:00) UTC"},
        "adapters": [{"mac": "00:1A:2B:3C:4D:5E", "address": "127.0.0.1"}],
        "loaded_after_ms": 0
    })");
}

// "YYYY-MM-DD HH:MM:SS.mmm" as milliseconds since the epoch, read as UTC; -1 if malformed.
long long DateTimeMillis(const std::string& text) {
    struct tm parts {};
    int millis = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d.%d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &millis) != 7) {
        return -1;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<long long>(::timegm(&parts)) * 1000 + millis;
}

}  // namespace

std::string DefaultServiceBinary() {
    const char* chosen = ::getenv("WARDEX_BENCH_SERVICE");
    return chosen != nullptr && *chosen != '\0' ? chosen : BinDir() + "/wardex";
}

ServiceRig::ServiceRig(const RigOptions& options)
    : options_(options),
      raised_(options.capacity),
      delivered_(options.capacity),
      deliveries_(options.capacity, 0) {}

ServiceRig::~ServiceRig() {
    StopService(std::chrono::seconds(10));
    receiver_.Stop();
    nvr_.Stop();
}

bool ServiceRig::Start() {
    if (dir_.path().empty()) return false;
    if (!nvr_.Start(dir_.path(), Scenario(), options_.nvr_environment)) {
        Note("the recording-server simulator did not start");
        return false;
    }
    if (!receiver_.Start(dir_.path(), {},
                         [this](const nlohmann::json& record, Clock::time_point arrived) { OnRecord(record, arrived); })) {
        Note("the receiver simulator did not start");
        return false;
    }
    const nlohmann::json config = {{"server_address", "127.0.0.1"},
                                   {"server_port", nvr_.port()},
                                   {"server_user", "admin"},
                                   {"server_password", "tulip482"},
                                   {"service_endpoint", receiver_.url()},
                                   {"report_motion", false},
                                   {"ignore_ntp", true},
                                   {"site_number", "S-42"},
                                   {"log_level", 1}};
    if (!WriteTextFile(dir_.File("wardex.json"), config.dump(4), 0600) || ::mkdir(dir_.File("scripts").c_str(), 0755) != 0 ||
        !WriteTextFile(dir_.File("scripts/get_id.sh"), kIdentityScript, 0755)) {
        return false;
    }
    // Alarm dates start at the next whole second, never before the service's start.
    base_ = ::time(nullptr) + 1;

    if (!LaunchService()) return false;

    const auto deadline = Clock::now() + options_.registration_limit;
    while (Clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (registered_info_ && registered_online_) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Note("the service did not register; its console:\n" + ReadTextFile(dir_.File("console.txt")));
    return false;
}

// The service runs in the scratch folder: its configuration, logs and outbox.db are there.
bool ServiceRig::LaunchService() {
    std::vector<std::string> argv = options_.service_prefix;
    argv.push_back(options_.service_binary.empty() ? DefaultServiceBinary() : options_.service_binary);
    return service_.Start(argv, dir_.path(), dir_.File("console.txt"), dir_.File("console.txt"));
}

bool ServiceRig::RestartService() {
    StopService(std::chrono::seconds(30));
    return LaunchService();
}

bool ServiceRig::StopService(std::chrono::milliseconds grace) {
    if (service_.pid() <= 0) return true;
    int status = 0;
    return service_.Stop(grace, &status);
}

bool ServiceRig::Raise(size_t index) {
    if (index >= options_.capacity) return false;
    const time_t seconds = base_ + static_cast<time_t>(index / 1000);
    const int millis = static_cast<int>(index % 1000);
    std::ostringstream command;
    command << "event 5 index=0 status=3 seconds=" << seconds << " millis=" << millis;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        raised_[index] = Clock::now();
    }
    return nvr_.Send(command.str());
}

void ServiceRig::OnRecord(const nlohmann::json& record, Clock::time_point arrived) {
    const std::string method = record.value("method", "");
    const nlohmann::json& payload = record.contains("payload") ? record["payload"] : nlohmann::json();
    std::lock_guard<std::mutex> lock(mutex_);
    if (method == "SendRecorderInfo") registered_info_ = true;
    if (method != "SendAlarm" || !payload.is_object()) return;
    const std::string type = payload.value("AlarmType", "");
    if (type == "5") registered_online_ = true;
    if (type != "1") return;
    const long long at = DateTimeMillis(payload.value("DateTime", ""));
    const long long index = at - static_cast<long long>(base_) * 1000;
    if (at < 0 || index < 0 || index >= static_cast<long long>(options_.capacity)) {
        ++strays_;
        return;
    }
    if (deliveries_[index]++ == 0) {
        delivered_[index] = arrived;
        ++distinct_;
    }
    last_delivery_ = arrived;
}

bool ServiceRig::WaitForDelivered(size_t count, std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    while (DistinctDelivered() < count) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

size_t ServiceRig::DistinctDelivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return distinct_;
}

size_t ServiceRig::Duplicates() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t extra = strays_;
    for (uint32_t n : deliveries_) extra += n > 1 ? n - 1 : 0;
    return extra;
}

std::vector<double> ServiceRig::LatenciesMs(size_t count) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<double> latencies;
    for (size_t i = 0; i < count && i < options_.capacity; ++i) {
        if (deliveries_[i] == 0) continue;
        latencies.push_back(std::chrono::duration<double, std::milli>(delivered_[i] - raised_[i]).count());
    }
    return latencies;
}

Clock::time_point ServiceRig::RaisedAt(size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raised_.at(index);
}

Clock::time_point ServiceRig::LastDelivery() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_delivery_;
}

size_t ServiceRig::CountInLog(const std::string& text) const {
    const std::string log = ReadTextFile(dir_.File("console.txt"));
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++n;
    return n;
}

PeakSampler::PeakSampler(pid_t pid, std::chrono::milliseconds period) {
    thread_ = std::thread([this, pid, period] {
        while (!stop_) {
            const long kib = ResidentKiB(pid);
            const int fds = OpenDescriptors(pid);
            if (kib > peak_kib_) peak_kib_ = kib;
            if (fds > peak_fds_) peak_fds_ = fds;
            std::this_thread::sleep_for(period);
        }
    });
}

PeakSampler::~PeakSampler() {
    stop_ = true;
    thread_.join();
}

}  // namespace bench
}  // namespace kv
