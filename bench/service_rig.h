// The whole service (testing/harness/service_rig.h) for measuring.
//
// Alarm i is a video loss on camera 0 dated `base + i` milliseconds (seconds and millis
// of the recorder's event), so the DateTime of the delivered payload names its index.
// The rig stamps each alarm when it asks the simulator to raise it and again when the
// receiver's record of it arrives, and counts how often each index was delivered.
#ifndef WARDEX_BENCH_SERVICE_RIG_H_
#define WARDEX_BENCH_SERVICE_RIG_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "testing/harness/service_rig.h"

namespace kv {
namespace bench {

struct RigOptions {
    size_t capacity = 20000;                 // alarm indices tracked
    std::vector<std::string> service_prefix;  // e.g. valgrind and its options
    std::chrono::seconds registration_limit{60};
    // Extra environment of the recording-server simulator (e.g. a preloaded shim).
    std::vector<std::string> nvr_environment;
    // The service program; empty: $WARDEX_BENCH_SERVICE when set, else this tree's wardex.
    std::string service_binary;
};

using harness::DefaultServiceBinary;

class ServiceRig {
public:
    explicit ServiceRig(const RigOptions& options);
    ~ServiceRig();

    // Starts the simulators and the service and waits for its registration (recorder
    // information and the on-line alarm delivered).
    bool Start();
    // SIGTERM; true when the service ended by itself within `grace`.
    bool StopService(std::chrono::milliseconds grace);
    // Starts the service again in the same working directory, without waiting for
    // anything (its outbox may hold alarms that come before the registration's).
    bool RestartService();

    // Asks the recording-server simulator to raise alarm `index`.
    bool Raise(size_t index);
    bool WaitForRaised(std::chrono::milliseconds limit) { return rig_.nvr()->WaitForAnswers(limit); }
    // Waits until `count` distinct alarms have been delivered.
    bool WaitForDelivered(size_t count, std::chrono::milliseconds limit) const;

    size_t DistinctDelivered() const;
    // Alarms delivered more than once, and indices outside the tracked range.
    size_t Duplicates() const;
    // Milliseconds from raising to delivery, for each delivered alarm below `count`.
    std::vector<double> LatenciesMs(size_t count) const;
    Clock::time_point RaisedAt(size_t index) const;
    Clock::time_point LastDelivery() const;

    pid_t service_pid() { return rig_.service() ? rig_.service()->pid() : -1; }
    harness::ReceiverSim& receiver() { return *rig_.receiver(); }
    harness::NvrSim& nvr() { return *rig_.nvr(); }
    const std::string& scratch() const { return rig_.work().path(); }
    // The service's outbox, in its working directory.
    std::string OutboxPath() const { return rig_.work().File("outbox.db"); }
    // How often the service's console holds `text`.
    size_t CountInLog(const std::string& text) const { return rig_.CountInLog(text); }

private:
    bool LaunchService();
    void OnRecord(const nlohmann::json& record, Clock::time_point arrived);

    RigOptions options_;
    harness::ServiceRig rig_;
    time_t base_ = 0;

    mutable std::mutex mutex_;
    std::vector<Clock::time_point> raised_;
    std::vector<Clock::time_point> delivered_;
    std::vector<uint32_t> deliveries_;
    size_t distinct_ = 0;
    size_t strays_ = 0;
    bool registered_info_ = false;
    bool registered_online_ = false;
    Clock::time_point last_delivery_{};
};

// Samples a process's resident size and descriptor count until destroyed.
class PeakSampler {
public:
    PeakSampler(pid_t pid, std::chrono::milliseconds period);
    ~PeakSampler();
    long PeakKiB() const { return peak_kib_; }
    int PeakDescriptors() const { return peak_fds_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> peak_kib_{0};
    std::atomic<int> peak_fds_{0};
    std::thread thread_;
};

}  // namespace bench
}  // namespace kv

#endif  // WARDEX_BENCH_SERVICE_RIG_H_
