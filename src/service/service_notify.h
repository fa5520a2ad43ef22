// kv::ServiceNotifier: tells systemd (Type=notify) how the service is doing, through
// libsystemd's sd_notify on the socket named by NOTIFY_SOCKET.
//
//   Ready(status)   READY=1 with the first status line;
//   Tick(status)    called every tenth of a second by the main thread: STATUS= at once
//                   when the state in it (the recorder on- or off-line, the receiver
//                   reachable or not) changed, else when only its text (the counters)
//                   changed and the last one is at least `status_interval` old; and
//                   WATCHDOG=1 every half watchdog period (WATCHDOG_USEC) while every
//                   watched thread has marked progress within `stall_limit`;
//   Stopping()      STOPPING=1.
// Without NOTIFY_SOCKET every call does nothing. Threads mark their progress on a
// ProgressStamp of their own (lock-free); only the main thread calls the notifier.
#ifndef WARDEX_SRC_SERVICE_NOTIFY_H_
#define WARDEX_SRC_SERVICE_NOTIFY_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kv {

// The last moment a thread was seen making progress.
class ProgressStamp {
public:
    ProgressStamp() { Mark(); }
    void Mark() { ticks_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed); }
    std::chrono::steady_clock::time_point Last() const {
        return Clock::time_point(Clock::duration(ticks_.load(std::memory_order_relaxed)));
    }

private:
    using Clock = std::chrono::steady_clock;
    std::atomic<Clock::rep> ticks_{0};
};

// The part of the status that systemd is told at once when it changes.
struct ServiceState {
    bool recorder_online = false;
    bool receiver_reachable = false;
    bool backup_reachable = true;  // stays true without a backup receiver

    bool operator==(const ServiceState& other) const {
        return recorder_online == other.recorder_online && receiver_reachable == other.receiver_reachable &&
               backup_reachable == other.backup_reachable;
    }
    bool operator!=(const ServiceState& other) const { return !(*this == other); }
};

// One status: the STATUS= text and the state it shows.
struct ServiceStatus {
    std::string text;
    ServiceState state;
};

class ServiceNotifier {
public:
    struct Settings {
        // A thread that has not marked progress for this long counts as stuck.
        std::chrono::milliseconds stall_limit{std::chrono::seconds(20)};
        // The least time between two STATUS= messages whose state is the same: while
        // alarms move, systemd sees the counters this often.
        std::chrono::milliseconds status_interval{std::chrono::seconds(2)};
    };

    // Reads NOTIFY_SOCKET and the watchdog period from the environment; `watched` are
    // the threads whose progress the watchdog pings vouch for (they outlive the notifier).
    ServiceNotifier(std::vector<const ProgressStamp*> watched, Settings settings);
    explicit ServiceNotifier(std::vector<const ProgressStamp*> watched) : ServiceNotifier(std::move(watched), Settings()) {}

    bool enabled() const { return enabled_; }
    void Ready(const ServiceStatus& status);
    void Tick(const ServiceStatus& status);
    // A status whose state is taken as unchanged: its text goes out on the interval only.
    void Ready(const std::string& text) { Ready(ServiceStatus{text, last_state_}); }
    void Tick(const std::string& text) { Tick(ServiceStatus{text, last_state_}); }
    void Stopping();

private:
    bool Send(const std::string& message);
    void SendStatus(const ServiceStatus& status, std::chrono::steady_clock::time_point now);
    bool AllProgressing(std::chrono::steady_clock::time_point now) const;

    std::vector<const ProgressStamp*> watched_;
    Settings settings_;
    bool enabled_ = false;
    // Half the watchdog period; zero when systemd set no watchdog.
    std::chrono::microseconds ping_interval_{0};
    std::string last_status_;
    ServiceState last_state_;
    std::chrono::steady_clock::time_point last_status_time_{};
    std::chrono::steady_clock::time_point last_ping_{};
};

}  // namespace kv

#endif  // WARDEX_SRC_SERVICE_NOTIFY_H_
