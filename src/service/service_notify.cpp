#include "src/service/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace kv {

ServiceNotifier::ServiceNotifier(std::vector<const ProgressStamp*> watched, Settings settings)
    : watched_(std::move(watched)), settings_(settings) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    enabled_ = socket != nullptr && *socket != '\0';
    if (!enabled_) return;
    // sd_watchdog_enabled checks WATCHDOG_PID against this process, so a watchdog meant
    // for another process (an inherited environment) stays off.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) ping_interval_ = std::chrono::microseconds(usec / 2);
}

bool ServiceNotifier::Send(const std::string& message) {
    return enabled_ && sd_notify(0, message.c_str()) > 0;
}

void ServiceNotifier::Ready(const ServiceStatus& status) {
    if (!enabled_) return;
    Send("READY=1\nSTATUS=" + status.text);
    last_status_ = status.text;
    last_state_ = status.state;
    last_status_time_ = std::chrono::steady_clock::now();
}

void ServiceNotifier::SendStatus(const ServiceStatus& status, std::chrono::steady_clock::time_point now) {
    Send("STATUS=" + status.text);
    last_status_ = status.text;
    last_state_ = status.state;
    last_status_time_ = now;
}

bool ServiceNotifier::AllProgressing(std::chrono::steady_clock::time_point now) const {
    for (const ProgressStamp* stamp : watched_) {
        if (now - stamp->Last() > settings_.stall_limit) return false;
    }
    return true;
}

void ServiceNotifier::Tick(const ServiceStatus& status) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    // A login or a lost receiver must show at once; counters that move with every alarm
    // would otherwise flood systemd, so they wait for the interval.
    if (status.state != last_state_) {
        SendStatus(status, now);
    } else if (status.text != last_status_ && now - last_status_time_ >= settings_.status_interval) {
        SendStatus(status, now);
    }
    // A stuck thread stops the pings; systemd then restarts the service once the
    // watchdog period has passed without one.
    if (ping_interval_.count() > 0 && now - last_ping_ >= ping_interval_ && AllProgressing(now)) {
        Send("WATCHDOG=1");
        last_ping_ = now;
    }
}

void ServiceNotifier::Stopping() { Send("STOPPING=1"); }

}  // namespace kv
