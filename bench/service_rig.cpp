#include "bench/service_rig.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace kv {
namespace bench {

namespace {

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

ServiceRig::ServiceRig(const RigOptions& options)
    : options_(options),
      rig_("wardex-bench", std::getenv("WARDEX_BENCH_KEEP") != nullptr),
      raised_(options.capacity),
      delivered_(options.capacity),
      deliveries_(options.capacity, 0) {}

ServiceRig::~ServiceRig() { StopService(std::chrono::seconds(10)); }

bool ServiceRig::Start() {
    harness::NvrOptions nvr;
    nvr.scenario = Scenario();
    nvr.environment = options_.nvr_environment;
    nvr.folder = scratch();
    nvr.extra_args = {"--seed", "1"};
    nvr.lifetime = std::chrono::seconds(900);
    harness::ReceiverOptions receiver;
    receiver.keep_records = false;
    receiver.lifetime = std::chrono::seconds(900);
    receiver.error_path = rig_.work().File("receiver-stderr.txt");
    receiver.on_record = [this](const nlohmann::json& record, Clock::time_point arrived) { OnRecord(record, arrived); };
    harness::ServiceConfig config;
    config.report_motion = false;
    config.log_level = 1;
    for (const harness::Outcome& step : {rig_.StartNvr(nvr), rig_.StartReceiver(receiver), rig_.WriteConfig(config)}) {
        if (!step) {
            Note(step.error());
            return false;
        }
    }
    // Alarm dates start at the next whole second, never before the service's start.
    base_ = ::time(nullptr) + 1;
    if (!LaunchService()) return false;

    const bool registered = harness::WaitFor(
        [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            return registered_info_ && registered_online_;
        },
        options_.registration_limit);
    if (!registered) Note("the service did not register; its console:\n" + rig_.Log());
    return registered;
}

bool ServiceRig::LaunchService() {
    harness::ServiceLaunch launch;
    launch.prefix = options_.service_prefix;
    launch.binary = options_.service_binary;
    return static_cast<bool>(rig_.StartService(launch));
}

bool ServiceRig::RestartService() {
    StopService(std::chrono::seconds(30));
    return LaunchService();
}

bool ServiceRig::StopService(std::chrono::milliseconds grace) {
    bool clean = true;
    rig_.StopService(grace, &clean);
    return clean;
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
    return rig_.nvr()->Send(command.str());
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
