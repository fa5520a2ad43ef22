// kv::WardexIntegration: the one object that ties the service together.
//
// The constructor points the sequencer at the outbox "./outbox.db" (alarms wait there
// until the receiver has them), reads "./wardex.json" (writing defaults when it cannot be
// read), keeps the recording-server password encrypted on disk, sets the log level and
// gives the receiver's URL to the sequencer. Two threads then run its members:
//   RunWebhookService()  the network thread: the io_service with every sequencer and
//                        HTTP action and the time-information handler SetNtp;
//   RunCallback()        the client-library thread: connects to the recording server,
//                        turns its events into alarms, reports on-line/off-line changes
//                        and applies the receiver's time settings.
// Stop() may be called from any thread and makes both return. mutex_ guards only the
// stop flag and ntp_info_, and is never held across a call into another subsystem.
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
#include "common/common_json.h"
#include "src/log_throttle.h"
#include "src/login_backoff.h"
#include "src/payloads.h"
#include "src/recorder_cache.h"
#include "src/service_notify.h"
#include "src/soap_helper.h"

namespace kv {

// The receiver endpoint written to a new configuration file. It is a placeholder for the
// installation to replace and is never handed to the sequencer.
extern const char kDefaultServiceEndpoint[];
extern const char kConfigFilePath[];

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
    int Loop(CTrevaskConnection& connection, int last_status);
    void Register(KVAPI_HANDLE handle);
    void MakeServerOnOffPayload(bool online, std::string& out);
    // True (and logged, at most once a second) when the event is older than the start.
    bool DroppedBeforeStart(int type, const PayloadType& payload);
    RecorderCache::CameraView LookUpCamera(uint32_t index);
    void ReadDriveMessage(uint32_t drive, AlarmData& alarm);
    void LogRecorderWarnings();
    // The client library's queue overflowed: WARNING at once, then at most once a minute.
    void ReportLostEvents();
    void HandleTimeInformation();
    void CheckAndUpdateTime(const soap::NtpInfo& info);
    void GetLicenseIP(const std::string& licensed_mac);
    void ReadConfiguration();
    void WriteDefaultConfiguration();
    void ReadBackupEndpoint();
    void ProtectStoredPassword();
    // Encrypts server_password_ into the file (mode 0600); false when that failed.
    bool StorePassword();
    void KeepUnusableConfiguration();

    bool stopped_ = false;
    std::mutex mutex_;
    boost::asio::io_service io_service_;
    soap::SoapSequencer sequencer_;
    time_t start_time_ = 0;
    bool registered_ = false;
    int64_t time_offset_ = 0;
    CTrevaskConnection connection_;
    json::JsonConfigFile config_;
    int16_t server_port_ = 22609;
    std::string server_user_ = "admin";
    std::string server_password_;
    bool password_usable_ = true;  // false: the stored password did not decrypt
    bool report_motion_ = false;
    int32_t server_online_ = 1;
    std::string heartbeat_payload_;
    NvrInfo nvr_info_;
    soap::NtpInfo ntp_info_;
    bool time_handled_ = false;
    bool ignore_ntp_ = true;
    bool time_update_pending_ = false;
    std::string service_endpoint_ = kDefaultServiceEndpoint;
    std::string backup_service_endpoint_;  // empty: no backup receiver
    bool timezone_warning_logged_ = false;

    // --- systemd status and watchdog ---
    void MarkNetworkProgress();
    ProgressStamp network_progress_;
    ProgressStamp client_progress_;
    std::atomic<bool> recorder_online_{false};
    boost::asio::steady_timer progress_timer_{io_service_};
    LoginBackoff login_backoff_;  // client-library thread
    std::atomic<uint64_t> recorder_events_lost_{0};

    // --- recorder answers and event reporting (client-library thread) ---
    QueryGate query_gate_;
    RecorderCache recorder_cache_{query_gate_};
    LogThrottle before_start_log_{std::chrono::seconds(1)};
    LogThrottle events_lost_log_{std::chrono::minutes(1)};
    uint64_t events_lost_seen_ = 0;      // the connection manager's count already taken
    uint64_t events_lost_unlogged_ = 0;  // lost since the last WARNING
};

// The function registered with the connection manager; `user` is the integration object.
int kvapi_callback(int type, intptr_t status, PayloadType* payload, size_t size, void* user);

// True when the event happened before the client-library thread started.
inline bool IsBeforeConn(time_t start, int64_t event) { return static_cast<int64_t>(start) > event; }

}  // namespace kv

#endif  // WARDEX_SRC_WARDEX_H_
