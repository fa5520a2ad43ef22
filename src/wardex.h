// kv::WardexIntegration: the one object that ties the service together.
//
// The constructor points the sequencer at the outbox "./outbox.db" (alarms wait there
// until the receiver has them), reads "./wardex.json" (src/service/config.h), keeps the
// recording-server password encrypted on disk (src/service/stored_password.h), sets the
// log level and gives the receivers' URLs to the sequencer. Two threads then run its
// members:
//   RunWebhookService()  the network thread: the io_service with every sequencer and
//                        HTTP action and the time-information handler SetNtp;
//   RunCallback()        the client-library thread: connects to the recording server,
//                        turns its events into alarms, reports on-line/off-line changes
//                        and applies the receiver's time settings.
// Stop() may be called from any thread and makes both return. mutex_ guards only the
// stop flag, and is never held across a call into another subsystem.
//
// This object does the wiring only: the threads, the stop, and who calls whom. What an
// event becomes (src/service/event_translator.h), the recorder's description
// (src/service/registration.h) and the time zone (src/service/time_sync.h) are decided
// by units of their own, which reach the recorder through one RecorderLink.
#ifndef WARDEX_SRC_WARDEX_H_
#define WARDEX_SRC_WARDEX_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/TrevaskConnect.h"
#include "src/recorder/log_throttle.h"
#include "src/recorder/login_backoff.h"
#include "src/service/payloads.h"
#include "src/recorder/recorder_link.h"
#include "src/recorder/recorder_cache.h"
#include "src/service/config.h"
#include "src/service/event_translator.h"
#include "src/service/registration.h"
#include "src/service/stored_password.h"
#include "src/service/time_sync.h"
#include "src/service/service_notify.h"
#include "src/soap_helper.h"

namespace kv {

class WardexIntegration {
public:
    WardexIntegration();
    ~WardexIntegration();

    WardexIntegration(const WardexIntegration&) = delete;
    WardexIntegration& operator=(const WardexIntegration&) = delete;

    void Stop();
    bool IsStopped();
    // Once both threads are joined: alarms still in memory go to the outbox, and one line
    // reports how many are left for the next start. Safe to call more than once.
    void FinishDelivery();

    // Network thread: runs io_service_ until the stop flag is set.
    void RunWebhookService();
    // Client-library thread: connects, turns, reports; returns once the stop flag is set.
    void RunCallback();

    // Whether the recorder is loaded, from the recorder cache (asked only until it is).
    bool IsServerFullyLoaded();

    // --- systemd status and watchdog (read by the main thread) ---
    // Marked by the network thread once a second and by the client-library thread on
    // every turn of its loop.
    const ProgressStamp& NetworkProgress() const { return network_progress_; }
    const ProgressStamp& ClientLibraryProgress() const { return client_progress_; }
    bool RecorderOnline() const { return recorder_online_.load(std::memory_order_relaxed); }
    // What the delivery has done and holds; any thread.
    soap::SequencerStats DeliveryStats() const { return sequencer_.Stats(); }
    // Recorder events the client library dropped from its full queue since the start.
    uint64_t RecorderEventsLost() const { return recorder_events_lost_.load(std::memory_order_relaxed); }

    // Every recording-server event, on the client-library thread, as the connection
    // manager forwards it: registration with the recorder cache or its loaded check,
    // then Callback, then the cache's warnings.
    void OnRecorderEvent(int type, intptr_t status, PayloadType* payload, size_t size);

    // Every recording-server event, on the client-library thread.
    void Callback(int type, intptr_t status, PayloadType* payload, size_t size);
    // Time-server information from the receiver, on the network thread.
    void SetNtp(const soap::NtpInfo& info);

private:
    // The configuration as read, and the password it gave.
    struct Settings {
        ServiceConfig config;
        StoredPassword password;
    };
    static Settings LoadSettings();
    explicit WardexIntegration(Settings settings);

    int Loop(CTrevaskConnection& connection, int last_status);
    void Register();
    void MakeServerOnOffPayload(bool online, std::string& out);
    // The recorder went on-line (or off-line) since the last turn.
    void ReportServerTransition(bool up);
    // The client library's queue overflowed: WARNING at once, then at most once a minute.
    void ReportLostEvents();
    void LogRecorderWarnings();
    void MarkNetworkProgress();

    bool stopped_ = false;
    std::mutex mutex_;
    boost::asio::io_service io_service_;
    soap::SoapSequencer sequencer_;
    const ServiceConfig config_;  // without the password
    StoredPassword password_;
    CTrevaskConnection connection_;
    LibraryLink link_{connection_};
    int32_t server_online_ = 1;
    TimeSync time_sync_;
    Registration registration_;

    // --- systemd status and watchdog ---
    ProgressStamp network_progress_;
    ProgressStamp client_progress_;
    std::atomic<bool> recorder_online_{false};
    boost::asio::steady_timer progress_timer_{io_service_};
    LoginBackoff login_backoff_;  // client-library thread
    std::atomic<uint64_t> recorder_events_lost_{0};

    // --- recorder answers and event reporting (client-library thread) ---
    QueryGate query_gate_;
    RecorderCache recorder_cache_{query_gate_};
    EventTranslator translator_;
    LogThrottle events_lost_log_{std::chrono::minutes(1)};
    uint64_t events_lost_seen_ = 0;      // the connection manager's count already taken
    uint64_t events_lost_unlogged_ = 0;  // lost since the last WARNING
};

// The function registered with the connection manager; `user` is the integration object.
int kvapi_callback(int type, intptr_t status, PayloadType* payload, size_t size, void* user);

}  // namespace kv

#endif  // WARDEX_SRC_WARDEX_H_
