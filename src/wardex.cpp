#include "src/wardex.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "common/common_json.h"
#include "common/logger.h"
#include "common/wipe.h"
#include "src/outbox/outbox.h"

namespace kv {

namespace {

constexpr auto kDisconnectedPause = std::chrono::milliseconds(100);
// How often the client-library thread looks at the stop flag while it has no password
// it may log in with.
constexpr auto kIdlePause = std::chrono::milliseconds(250);

void Log(LoggerLevel level, const std::string& text) { logger::get_logger().log(level, text); }

// What the configuration says about the recorder: where it is and which site it serves.
NvrInfo ConfiguredRecorder(const ServiceConfig& config) {
    NvrInfo recorder;
    recorder.address = config.server_address;
    recorder.site_no = config.site_number;
    return recorder;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Construction and configuration

WardexIntegration::Settings WardexIntegration::LoadSettings() {
    json::JsonConfigFile file(kConfigFilePath);
    ConfigReading reading = ReadConfig(file.load_state(), file.problem(), file.object());
    if (reading.write_defaults && !WriteDefaultConfig(file)) {
        Log(ERROR, "Could not write the default configuration to \"./wardex.json\"");
    }
    LogDiagnostics(reading.diagnostics);

    Settings settings{reading.config, StoredPassword(reading.config.server_password)};
    if (reading.from_file) {
        Diagnostics lines;
        settings.password = StoredPassword::Protect(reading.config.server_password, file, MachineCipher(), lines);
        LogDiagnostics(lines);
    }
    // From here on the password lives in `settings.password` only.
    WipeSecret(settings.config.server_password);
    settings.config.server_password.clear();
    if (reading.config.log_level) logger::get_logger().set_level(*reading.config.log_level);
    return settings;
}

WardexIntegration::WardexIntegration() : WardexIntegration(LoadSettings()) {}

WardexIntegration::WardexIntegration(Settings settings)
    : sequencer_(io_service_),
      config_(settings.config),
      password_(std::move(settings.password)),
      time_sync_(config_.ignore_ntp),
      registration_(ConfiguredRecorder(config_)),
      translator_(recorder_cache_, config_.report_motion) {
    sequencer_.UseOutbox(kOutboxPath);
    if (!config_.service_endpoint.empty()) sequencer_.UpdateServiceEndpoint(config_.service_endpoint);
    if (!config_.backup_service_endpoint.empty()) sequencer_.UpdateBackupEndpoint(config_.backup_service_endpoint);
}

// By now both threads have been joined and the io_service no longer runs: payloads still
// in progress are abandoned, and the exchanges that hold the sequencer are released.
WardexIntegration::~WardexIntegration() { FinishDelivery(); }

void WardexIntegration::FinishDelivery() { sequencer_.Abandon(); }

// ---------------------------------------------------------------------------------------
// Process frame

void WardexIntegration::Stop() {
    Log(INFO, "Received stop signal");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    Log(INFO, "Stopping io_service");
    io_service_.stop();
}

bool WardexIntegration::IsStopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

void WardexIntegration::RunWebhookService() {
    Log(INFO, "Starting io service thread");
    auto work = std::make_unique<boost::asio::io_service::work>(io_service_);
    MarkNetworkProgress();
    for (;;) {
        if (IsStopped()) {
            Log(INFO, "Completed io service thread");
            work.reset();
            return;
        }
        boost::system::error_code error;
        io_service_.run(error);
        if (IsStopped()) continue;
        Log(ERROR, "io_service error: " + error.message());
    }
}

// The network thread proves it still runs handlers: a timer on the io_service marks its
// progress once a second. A handler that hangs holds the timer back and stops the
// service's watchdog pings.
void WardexIntegration::MarkNetworkProgress() {
    network_progress_.Mark();
    progress_timer_.expires_after(std::chrono::seconds(1));
    progress_timer_.async_wait([this](const boost::system::error_code& error) {
        if (!error) MarkNetworkProgress();
    });
}

// ---------------------------------------------------------------------------------------
// Client-library thread

void WardexIntegration::RunCallback() {
    logger::set_thread_name("kvapi_callback");
    Log(INFO, "Wardex endpoint: " +
                  (config_.service_endpoint.empty() ? std::string("not configured") : config_.service_endpoint));
    if (!config_.backup_service_endpoint.empty()) {
        Log(INFO, "Wardex backup endpoint: " + config_.backup_service_endpoint);
    }
    const NvrInfo& recorder = registration_.recorder();
    Log(INFO, "Live Thread: Using Trevask Server: " + recorder.address + ":" + std::to_string(config_.server_port));
    connection_.set_connection_info(recorder.address, config_.server_port, config_.server_user, password_.plain());
    connection_.set_callback(kvapi_callback, this);
    translator_.SetStartTime(::time(nullptr));
    // The stored password could not be decrypted (logged at start): nothing to log in
    // with, so the thread only waits for the stop. Waiting is its work: it keeps marking
    // progress so that the watchdog does not restart a service that is only held back.
    while (!password_.usable() && !IsStopped()) {
        client_progress_.Mark();
        std::this_thread::sleep_for(kIdlePause);
    }

    int status = 0;
    while (!IsStopped()) {
        // Each turn waits at most a connection attempt (about two seconds) or one select.
        client_progress_.Mark();
        status = Loop(connection_, status);
        ReportLostEvents();
        if (IsStopped()) break;

        const bool up = connection_.connected();
        recorder_online_.store(up, std::memory_order_relaxed);
        ReportServerTransition(up);

        if (up && time_sync_.UpdateDue() && connection_.server_fully_loaded()) {
            Diagnostics lines;
            time_sync_.ApplyToRecorder(link_, static_cast<int64_t>(::time(nullptr)), lines);
            LogDiagnostics(lines);
        }
    }
    connection_.trevask_cleanup();
    Log(INFO, "completed live thread");
}

// Before registration a transition is only noted; afterwards it restarts or stops the
// heartbeat and sends its alarm.
void WardexIntegration::ReportServerTransition(bool up) {
    if (up == (server_online_ == 1)) return;
    server_online_ = up ? 1 : 0;
    if (!registration_.registered()) return;
    std::string payload;
    MakeServerOnOffPayload(up, payload);
    if (up) {
        sequencer_.StartHeartbeat(registration_.heartbeat_payload());
    } else {
        sequencer_.StopHeartbeat();
    }
    sequencer_.SendEventMessage("SendAlarm", payload);
}

int WardexIntegration::Loop(CTrevaskConnection& connection, int last_status) {
    int status = 0;
    if (!connection.connected()) {
        if (!login_backoff_.Due(LoginBackoff::Clock::now())) {
            // Waiting out a refused login, one short pause per turn so that the stop and
            // the loop's progress stay prompt; the last status is kept, so the refusal
            // is logged once and not once per attempt.
            std::this_thread::sleep_for(kDisconnectedPause);
            return last_status;
        }
        // A new connection: the recorder proves again that it is loaded, and queries may
        // be made again. Its events arrive only once this attempt has logged in.
        recorder_cache_.BeginConnection();
        status = connection.connect_kvapi(false);
        if (status == -1 && connection.login_refused()) login_backoff_.Refused(LoginBackoff::Clock::now());
        if (status == 1) {
            login_backoff_.Accepted();
            Log(INFO, "kvAPI connection successful");
            Log(INFO, "Disable decompression");
            link_.DisableDecompression();
        } else if (status != last_status) {
            std::ostringstream text;
            text << "kvAPI connect status code: " << status << ". (" << connection.get_status() << ")";
            Log(ERROR, text.str());
        }
    } else {
        status = connection.select_handler();
        if (status < 0) {
            std::ostringstream text;
            text << "select failed: " << status << ". (" << connection.get_status() << ")";
            Log(ERROR, text.str());
        }
    }
    if (!connection.connected()) std::this_thread::sleep_for(kDisconnectedPause);
    return status;
}

void WardexIntegration::ReportLostEvents() {
    const uint64_t dropped = connection_.events_dropped();
    if (dropped > events_lost_seen_) {
        events_lost_unlogged_ += dropped - events_lost_seen_;
        events_lost_seen_ = dropped;
        recorder_events_lost_.store(dropped, std::memory_order_relaxed);
    }
    const LogThrottle::Clock::time_point now = LogThrottle::Clock::now();
    if (events_lost_unlogged_ == 0 || !events_lost_log_.Due(now)) return;
    events_lost_log_.Wrote(now);
    std::ostringstream text;
    text << "Client library event queue overflowed: " << events_lost_unlogged_
         << " recorder events lost, their alarms cannot be sent (" << dropped << " since the start)";
    Log(WARNING, text.str());
    events_lost_unlogged_ = 0;
}

// ---------------------------------------------------------------------------------------
// Recorder events

bool WardexIntegration::IsServerFullyLoaded() {
    const bool loaded = recorder_cache_.Loaded(link_);
    LogRecorderWarnings();
    return loaded;
}

void WardexIntegration::LogRecorderWarnings() {
    for (const std::string& warning : recorder_cache_.TakeWarnings()) Log(WARNING, warning);
}

int kvapi_callback(int type, intptr_t status, PayloadType* payload, size_t size, void* user) {
    if (user == nullptr) {
        std::fprintf(stderr, "src/wardex.cpp: kvapi_callback: Assertion `user' failed.\n");
        std::abort();
    }
    static_cast<WardexIntegration*>(user)->OnRecorderEvent(type, status, payload, size);
    return 0;
}

void WardexIntegration::OnRecorderEvent(int type, intptr_t status, PayloadType* payload, size_t size) {
    // The server-information event is the recorder's registration on this connection:
    // everything the events need is read again. Any other event only needs to know that
    // the recorder is loaded, which the cache answers without asking once it is known.
    bool admitted = false;
    if (type == kEventServerInformation && status == 0) {
        admitted = recorder_cache_.Refresh(link_);
        LogRecorderWarnings();
    } else {
        admitted = IsServerFullyLoaded();
    }
    if (admitted) Callback(type, status, payload, size);
    // Queued events are work done: a long queue keeps the watchdog fed.
    client_progress_.Mark();
}

void WardexIntegration::Callback(int type, intptr_t status, PayloadType* payload, size_t /*size*/) {
    Diagnostics lines;
    time_sync_.OnEvent(lines);
    const EventTranslator::Translation translation =
        translator_.Translate(link_, type, status, payload, time_sync_.offset(), lines);
    LogDiagnostics(lines);
    if (translation.kind == EventTranslator::Translation::kRegistration) {
        if (!registration_.registered()) Register();
        return;
    }
    if (translation.kind != EventTranslator::Translation::kAlarm) return;
    std::string text;
    detail::MakeAlarmPayload(registration_.recorder(), translation.alarm, text);
    if (!text.empty()) sequencer_.SendEventMessage("SendAlarm", text);
}

void WardexIntegration::Register() {
    Diagnostics lines;
    // The version was read by the recorder cache's refresh just before.
    const Registration::Outcome outcome = registration_.Register(link_, recorder_cache_.version(), lines);
    LogDiagnostics(lines);
    sequencer_.RequestNtpInfo(registration_.heartbeat_payload(), [this](const soap::NtpInfo& info) { SetNtp(info); });
    sequencer_.SendEventMessage("SendRecorderInfo", outcome.recorder_payload);
    // Registration is this connection's on-line transition (its alarm is sent below), so
    // the loop must not report the same connection coming up a second time.
    server_online_ = 1;
    sequencer_.StartHeartbeat(registration_.heartbeat_payload());
    if (outcome.server_offset) time_sync_.SetServerOffset(*outcome.server_offset);

    std::string online;
    MakeServerOnOffPayload(true, online);
    sequencer_.SendEventMessage("SendAlarm", online);
}

void WardexIntegration::MakeServerOnOffPayload(bool online, std::string& out) {
    AlarmData alarm;
    alarm.comments = online ? "Recording server online" : "Recording server offline";
    Log(INFO, "Recording server alarm: " + alarm.comments);
    alarm.alarm_type = online ? kAlarmServerOnline : kAlarmServerOffline;
    alarm.date_time = FormatTime(static_cast<int64_t>(::time(nullptr)), 0, time_sync_.offset());
    detail::MakeAlarmPayload(registration_.recorder(), alarm, out);
}

void WardexIntegration::SetNtp(const soap::NtpInfo& info) { time_sync_.OnAnswer(info); }

}  // namespace kv
