// The delivery simulation's peers, every one decided by the seed: the recorder that raises
// alarms, the two receivers and the plan of disk faults and crashes. Pure generators on
// simulated milliseconds: no I/O, no clock.
#ifndef WARDEX_TESTS_DELIVERY_SIMULATION_PEERS_H_
#define WARDEX_TESTS_DELIVERY_SIMULATION_PEERS_H_

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "src/delivery/courier.h"

namespace kv {
namespace sim {

constexpr int64_t kSecond = 1000;
constexpr int64_t kMinute = 60 * kSecond;
constexpr int64_t kHour = 60 * kMinute;

class Rng {
public:
    explicit Rng(uint64_t seed) : engine_(seed) {}
    int64_t Range(int64_t low, int64_t high) { return std::uniform_int_distribution<int64_t>(low, high)(engine_); }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(engine_) < p; }
    // Exponentially distributed, with this mean.
    int64_t Exp(int64_t mean) {
        return 1 + static_cast<int64_t>(std::exponential_distribution<double>(1.0 / static_cast<double>(mean))(engine_));
    }
    uint64_t Next() { return engine_(); }

private:
    std::mt19937_64 engine_;
};

// How a receiver answers, for a stretch of time.
enum class Mode {
    kUp,           // answers every step at once
    kSlow,         // answers every step, after `latency`
    kDown,         // its port refuses connections
    kServerError,  // 500
    kFaultIn200,   // a SOAP fault: a refusal
    kFaultIn400,
    kHtml,         // a proxy's page in a 200
    kRedirect,
    kTrickle,      // a few bytes a second: only the deadline ends it
    kClosed,       // takes the request, closes the connection
    kHalfDown,     // answers heartbeats, fails alarms with 500
};
constexpr int kModes = 11;
const char* ModeName(Mode mode);

struct Period {
    int64_t until = 0;
    Mode mode = Mode::kUp;
    int64_t latency = 0;
};

// The transport's limits, as the HTTP engine applies them.
struct Transport {
    int64_t stall_give_up = 8500;  // the low-speed rule against a silent receiver
    int64_t deadline = 30000;      // an exchange's overall deadline
};

// A reply and when it comes.
struct Timed {
    int64_t at = 0;
    delivery::Reply reply;
};

class Receiver {
public:
    Receiver(Rng& rng, bool primary, bool backup_exists, int64_t active);

    Mode ModeAt(int64_t t) const { return At(t).mode; }
    int64_t LatencyAt(int64_t t) const { return At(t).latency; }
    bool Accepts(int64_t t) const { return ModeAt(t) != Mode::kDown; }
    // Healthy: up and quick. The simulation's liveness counts from the last time it was not.
    // When the stretch of quick answers that holds `t` began; INT64_MAX when `t` is in none.
    int64_t HealthySince(int64_t t) const;
    // Periods of misbehaviour before `t`.
    int Faults(int64_t t) const;

    // The answer to one step sent at `now`.
    Timed Answer(const delivery::Send& send, int64_t now, const Transport& transport);
    const char* profile() const { return profile_; }
    const std::vector<Period>& plan() const { return plan_; }

private:
    const Period& At(int64_t t) const;

    std::vector<Period> plan_;  // in time order; the last one lasts for ever
    const char* profile_ = "steady";
};

// One alarm batch from the recorder, or its restart.
struct RecorderEvent {
    int64_t at = 0;
    size_t alarms = 0;
    bool restart = false;  // off-line, then on-line with its registration
};

std::vector<RecorderEvent> PlanRecorder(Rng& rng, int64_t active, size_t max_burst);

// What happens to the disk and the process, in time order.
enum class Trouble {
    kFaultOnce,      // the n-th write, sync, read or truncation fails
    kDiskFull,       // every write fails with SQLITE_FULL for `length`
    kLockHeld,       // another connection holds the write lock for `length`
    kCrash,          // the process dies between two events
    kKillInEvent,    // the process dies at the n-th file operation of the next event
    kStop,           // a clean stop and start
};

// Bytes overwritten in the outbox's file before the next start.
enum class Damage {
    kNone,
    kPages,      // a page or two anywhere, more often among the first ones
    kFirstLeaf,  // the whole of the outbox table's first leaf: where a walk from the lowest id begins
};

struct TroubleEvent {
    int64_t at = 0;
    Trouble kind = Trouble::kFaultOnce;
    int op = 0;  // FaultVfs::Op
    int nth = 1;
    int code = 0;
    int64_t length = 0;
    Damage damage = Damage::kNone;  // before the next start
    int kill_in_start = 0;        // > 0: the next start dies at this file operation
};

std::vector<TroubleEvent> PlanTrouble(Rng& rng, int64_t active, double rate);

// Every kRepeatedSalvageEvery-th seed adds to its plans two or three bursts, each followed
// at once by a clean stop that overwrites the outbox table's first leaf: the start after
// it salvages a file of many pages, and the next salvage meets the high ids the first
// one handed out, with the walk from the lowest id failing on its first page.
constexpr uint64_t kRepeatedSalvageEvery = 50;
void PlanRepeatedSalvage(Rng& rng, int64_t active, size_t max_burst, std::vector<RecorderEvent>& recorder,
                         std::vector<TroubleEvent>& trouble);

}  // namespace sim
}  // namespace kv

#endif  // WARDEX_TESTS_DELIVERY_SIMULATION_PEERS_H_
